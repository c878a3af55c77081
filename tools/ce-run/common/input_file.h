// Every file ce-run reads as input (an image, a CAB, a --device-file, a
// --store, a --fleet file), read whole and alike: only a regular file, at
// most 64 MiB, and a FIFO never waited for.

#ifndef CE_RUN_INPUT_FILE_H
#define CE_RUN_INPUT_FILE_H

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

constexpr off_t max_input_size = 64 << 20;

// False with the reason ("not a regular file", strerror's text ...) when
// path cannot be read so.
inline bool read_file(const std::string &path, std::vector<std::uint8_t> &bytes, std::string &error)
{
    // Non-blocking, so that opening a FIFO does not wait for a writer; only
    // a regular file is read.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        error = std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        error = "not a regular file";
    } else if (info.st_size > max_input_size) {
        error = "larger than " + std::to_string(max_input_size >> 20) + " MiB";
    } else {
        bytes.resize(std::size_t(info.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                error = n < 0 ? std::strerror(errno) : "the file shrank while read";
                break;
            }
            done += std::size_t(n);
        }
    }
    if (fd >= 0)
        close(fd);
    return error.empty();
}

#endif
