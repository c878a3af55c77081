// The emulated Windows CE platform: the DLL functions that ce-run serves to
// a program, and what each does when the program calls it.

#ifndef CE_RUN_PLATFORM_H
#define CE_RUN_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "flush_script.h"

namespace platform {

enum Function { RegFlushKey, ExitThread, perror, function_count };

struct Export {
    const char *dll;
    const char *name;
};

extern const Export exports[function_count];

// The function that dll!name names, or -1. DLL names compare without
// regard to case, as on the device; function names exactly.
int find_export(std::string_view dll, std::string_view name);

// Reads program memory; false when the bytes are not mapped.
using ReadMemory = std::function<bool(std::uint32_t address, void *to, std::size_t size)>;

struct State {
    scripted::FlushScript flush;
    std::int32_t errno_value = 0;  // the emulated c.dll's errno
    std::FILE *trace = nullptr;    // one line per call, when set
    std::FILE *standard_error = stderr;
};

struct Outcome {
    std::uint32_t r0 = 0;
    bool ends_program = false;
    std::uint32_t exit_status = 0;
    std::string fault;  // set when the call itself faulted the program
};

// Carries out one call with the program's argument registers r0..r3.
Outcome call(State &state, Function function, const std::uint32_t args[4],
             const ReadMemory &read);

}  // namespace platform

#endif
