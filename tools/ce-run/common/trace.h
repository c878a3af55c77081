// The trace (--trace): one line for each platform call and each step of
// an install, kept under a limit so that a program looping over a call
// cannot fill the disk.

#ifndef CE_RUN_TRACE_H
#define CE_RUN_TRACE_H

#include <cstdint>
#include <cstdio>
#include <string>

// The most the trace, and apart from it the program's standard error, may take.
constexpr std::uint64_t output_limit = std::uint64_t(64) << 20;

struct Trace {
    std::FILE *file = nullptr;  // no trace when null
    std::uint64_t written = 0;
    bool full = false;          // a line did not fit under output_limit; the run ends

    // Writes one line while it fits under output_limit; past it nothing more.
    void line(const std::string &text)
    {
        if (file == nullptr || full)
            return;
        if (text.size() + 1 > output_limit - written) {
            full = true;
            return;
        }
        std::fprintf(file, "%s\n", text.c_str());
        written += text.size() + 1;
    }
};

#endif
