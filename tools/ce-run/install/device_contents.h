// The emulated device's file system, as far as an install touches it:
// files by their full path, which CE compares without regard to case.

#ifndef CE_RUN_DEVICE_FILES_H
#define CE_RUN_DEVICE_FILES_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace device_files {

struct File {
    std::string path;  // as "\Windows\stowkey.exe"
    std::vector<std::uint8_t> bytes;
    std::int64_t date;  // seconds since 1970, UTC
};

struct Files {
    std::map<std::string, File> by_key;  // the path in lower case

    const File *find(const std::string &path) const;
    void put(const File &file);
};

// Whether path is a full device path: "\" and names, none empty.
bool is_full_path(const std::string &path);

}  // namespace device_files

#endif
