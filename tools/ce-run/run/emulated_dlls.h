// The emulated CE DLLs: what each function the device offers
// (image/exports.h) does when a program calls it.
//
// The run room (cpu, emulator, emulated_dlls, program_command_line) runs
// a program the loader took; it uses common/ and image/.

#ifndef CE_RUN_EMULATED_DLLS_H
#define CE_RUN_EMULATED_DLLS_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "exports.h"
#include "flush_script.h"
#include "trace.h"

namespace emulated {

// The handle LoadLibraryW gives for a DLL: an address in ce-run's own
// memory, which the program never sees mapped.
constexpr std::uint32_t module_handle(exports::Dll dll)
{
    return 0x7FFD0000u + 0x1000u * std::uint32_t(dll);
}

// Reads program memory as the program itself could: only from pages it may read.
enum class Access { readable, unmapped, unreadable };
using ReadMemory = std::function<Access(std::uint32_t address, void *to, std::size_t size)>;

struct State {
    scripted::FlushScript flush;
    exports::Missing missing;
    std::int32_t errno_value = 0;  // the emulated c.dll's errno
    Trace trace;                   // one line per call
    std::FILE *standard_error = stderr;
    std::uint64_t standard_error_written = 0;
    bool standard_error_full = false;  // a perror line did not fit under output_limit
    // Where the program reaches a function: what GetProcAddressW returns.
    std::function<std::uint32_t(exports::Function)> address_of;
};

struct Outcome {
    std::uint32_t r0 = 0;
    bool ends_program = false;
    std::uint32_t exit_status = 0;
    std::string fault;  // set when the call itself faulted the program
};

// Carries out one call with the program's argument registers r0..r3.
Outcome call(State &state, exports::Function function, const std::uint32_t args[4],
             const ReadMemory &read);

}  // namespace emulated

#endif
