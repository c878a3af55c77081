// libFuzzer target of the run room: an image the loader takes runs under
// the emulator, on the processor and release it would run on, with a
// small instruction limit. Beyond the sanitizers' checks and libFuzzer's
// time limit on each input, it traps when a run ends other than as
// documented: an exit, a fault that says what it was, or the limit, never
// past it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator.h"
#include "load_plan.h"
#include "pe_image.h"
#include "program_command_line.h"

namespace {

constexpr std::uint64_t max_instructions = 20000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static std::FILE *nowhere = std::fopen("/dev/null", "w");
    std::vector<std::uint8_t> file(data, data + size);
    pe::Image image;
    std::string error;
    if (!pe::read_image(file.data(), file.size(), image, error))
        return 0;
    loader::Device device;
    device.release = loader::for_image(image);
    cpu::Model cpu = device.release == loader::ce_8_0 ? cpu::cortex_a8 : cpu::default_for(image.machine);
    device.kernel_machine = cpu::models[cpu].kernel_machine;
    loader::Plan plan;
    if (!loader::refusal(image, device).empty() || !loader::plan(image, device, plan, error))
        return 0;
    emulated::State state;
    state.standard_error = nowhere;
    emulator::Outcome result =
        emulator::run(plan, file, state,
                      {max_instructions, program_command_line::build({"fuzz"}), cpu,
                       loader::entry_process(device.release)});
    bool documented = result.ending == emulator::Outcome::exited ||
                      result.ending == emulator::Outcome::instruction_limit ||
                      (result.ending == emulator::Outcome::faulted && !result.fault.empty());
    if (!documented || result.instructions > max_instructions)
        __builtin_trap();
    return 0;
}
