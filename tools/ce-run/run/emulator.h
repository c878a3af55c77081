// Runs a planned image on an emulated processor, with the platform's
// functions served from ce-run's own memory.

#ifndef CE_RUN_EMULATOR_H
#define CE_RUN_EMULATOR_H

#include <cstdint>
#include <string>
#include <vector>

#include "cpu.h"
#include "load_plan.h"
#include "emulated_dlls.h"

namespace emulator {

struct Settings {
    std::uint64_t max_instructions;
    std::u16string command_line;
    cpu::Model cpu;
    std::uint32_t process;  // what the kernel passes the entry point in r0
};

struct Outcome {
    enum Ending {
        exited, faulted, instruction_limit, trace_full, standard_error_full
    } ending = faulted;
    std::uint32_t exit_status = 0;
    std::string fault;               // for faulted
    std::uint64_t instructions = 0;  // the program's own, platform calls not counted
    std::uint32_t stack_bytes = 0;   // deepest use below the entry's stack pointer
};

// Longest command line a program is given, in UTF-16 units.
constexpr std::size_t max_command_line = 32767;

Outcome run(const loader::Plan &plan, const std::vector<std::uint8_t> &file,
           emulated::State &state, const Settings &settings);

}  // namespace emulator

#endif
