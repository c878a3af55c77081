// Stands in for coredll.dll's RegFlushKey in the native build: test machinery, scripted through the environment.
//
//   COREDLL_STANDIN_FLUSH  results of the root keys' flushes, as KEY=CODE
//                          settings separated by commas or blanks, for
//                          example "HKEY_CURRENT_USER=1010"; unset, every
//                          flush succeeds
//   COREDLL_STANDIN_TRACE  a file to which each call is appended as a line
//
// These belong to the stand-in alone; stowkey itself reads no environment.
// A failed flush leaves errno at EIO, so that the perror line that follows
// describes a failed write rather than reading as success.

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "flush_script.h"

namespace {

[[noreturn]] void standin_failure(const std::string &why)
{
    std::fprintf(stderr, "coredll stand-in: %s\n", why.c_str());
    _exit(125);
}

const scripted::FlushScript &flush_script()
{
    static scripted::FlushScript script;
    static bool loaded = false;
    if (!loaded) {
        std::string error;
        const char *settings = std::getenv("COREDLL_STANDIN_FLUSH");
        if (settings != nullptr &&
            !scripted::set_flush_results(script, settings, error))
            standin_failure("COREDLL_STANDIN_FLUSH: " + error);
        loaded = true;
    }
    return script;
}

void trace(const std::string &line)
{
    const char *path = std::getenv("COREDLL_STANDIN_TRACE");
    if (path == nullptr)
        return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    std::string text = line + "\n";
    if (fd < 0 || write(fd, text.data(), text.size()) != ssize_t(text.size()))
        standin_failure(std::string("cannot write trace ") + path);
    close(fd);
}

}  // namespace

extern "C" LONG RegFlushKey(HKEY hKey)
{
    // A predefined key is a 32-bit value sign-extended to the pointer; any
    // other pointer cannot name one.
    auto value = reinterpret_cast<intptr_t>(hKey);
    auto handle = static_cast<std::uint32_t>(value);
    LONG result = value == static_cast<int32_t>(handle)
                      ? scripted::flush_result(flush_script(), handle)
                      : scripted::error_invalid_handle;
    trace(scripted::flush_trace_line(handle, result));
    if (result != ERROR_SUCCESS)
        errno = EIO;
    return result;
}
