// The emulated Windows CE platform: the DLLs and functions that ce-run
// serves to a program, which of them a device lacks, and what each
// function does when the program calls it.

#ifndef CE_RUN_PLATFORM_H
#define CE_RUN_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "flush_script.h"

namespace platform {

enum Dll { coredll, c_dll, dll_count };

enum Function { RegFlushKey, ExitThread, LoadLibraryW, GetProcAddressW, perror, function_count };

struct Export {
    Dll dll;
    const char *name;
};

extern const char *const dll_names[dll_count];  // "coredll.dll", "c.dll"
extern const Export exports[function_count];

// The DLL that name names as the CE loader matches it: without regard to
// case, ".dll" optional, at most 31 characters; or -1.
int find_dll(std::string_view name);

// The function that dll exports under exactly name, or -1.
int find_function(Dll dll, std::string_view name);

// What the emulated device lacks, for load-time imports and run-time
// look-ups alike.
struct Device {
    bool dll_missing[dll_count] = {};
    bool function_missing[function_count] = {};

    bool has(Dll dll) const { return !dll_missing[dll]; }
    bool has(Function function) const
    {
        return has(exports[function].dll) && !function_missing[function];
    }
};

// Applies "DLL" (the DLL goes) or "DLL!FUNCTION" (the function goes). On a
// name the platform does not have returns false with the reason in error.
bool set_missing(Device &device, std::string_view what, std::string &error);

// The handle LoadLibraryW gives for a DLL: an address in ce-run's own
// memory, which the program never sees mapped.
constexpr std::uint32_t module_handle(Dll dll)
{
    return 0x7FFD0000u + 0x1000u * std::uint32_t(dll);
}

// Reads program memory as the program itself could: only from pages it may read.
enum class Access { readable, unmapped, unreadable };
using ReadMemory = std::function<Access(std::uint32_t address, void *to, std::size_t size)>;

struct State {
    scripted::FlushScript flush;
    Device device;
    std::int32_t errno_value = 0;  // the emulated c.dll's errno
    std::FILE *trace = nullptr;    // one line per call, when set
    std::uint64_t trace_written = 0;
    bool trace_full = false;       // a line did not fit under output_limit
    std::FILE *standard_error = stderr;
    std::uint64_t standard_error_written = 0;
    bool standard_error_full = false;  // a perror line did not fit under output_limit
    // Where the program reaches a function: what GetProcAddressW returns.
    std::function<std::uint32_t(Function)> address_of;
};

// The most the trace, and apart from it the program's standard error, may
// take: a program looping over a call would otherwise write gigabytes.
constexpr std::uint64_t output_limit = std::uint64_t(64) << 20;

// Writes one line to the trace, while it is under output_limit; past it
// the trace stops (trace_full) and the run is ended.
void trace(State &state, const std::string &line);

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
