#include "emulator.h"

#include <unicorn/unicorn.h>

#include "hex.h"

namespace emulator {

namespace {

// ce-run's own memory, above all that an image may use.
constexpr std::uint32_t command_line_base = 0x7FE00000;
constexpr std::uint32_t stack_top = 0x7FF00000;
constexpr std::uint32_t stack_size = 0x10000;  // the CE default reservation
constexpr std::uint32_t stub_base = 0x7FFF0000;
constexpr std::uint32_t page = 0x1000;

// The kernel promises the entry point only a 4-byte aligned stack, so
// ce-run gives it one that is not 8-byte aligned.
constexpr std::uint32_t entry_sp = stack_top - 4;

// Each platform function is a word in the stub page that returns to the
// caller, in ARM or Thumb code as the processor's platform is built; a
// hook runs the function when the processor reaches it. The entry point
// is called with its return address at the last stub, so a return from
// it ends the run too.
constexpr std::uint32_t arm_return = 0xE1A0F00E;    // mov pc, lr
constexpr std::uint32_t thumb_return = 0x46C04770;  // bx lr; nop
constexpr std::uint32_t entry_return_stub = platform::function_count;
constexpr std::uint32_t cpsr_thumb = 1u << 5;

constexpr std::uint32_t sw_show = 5;

constexpr uc_cpu_arm unicorn_models[cpu::model_count] = {
    UC_CPU_ARM_SA1110,
    UC_CPU_ARM_PXA270,
    UC_CPU_ARM_CORTEX_A8,
};

// The plan's protection bits are Unicorn's, so they pass straight through.
static_assert(int(loader::read) == int(UC_PROT_READ) &&
              int(loader::write) == int(UC_PROT_WRITE) &&
              int(loader::execute) == int(UC_PROT_EXEC));

struct Session {
    uc_engine *uc = nullptr;
    platform::State *state = nullptr;
    const cpu::Properties *cpu = nullptr;
    Result result;
    bool ended = false;
    std::uint32_t lowest_sp = entry_sp;

    void end_with_fault(const std::string &why)
    {
        if (!ended) {
            result.ending = Result::faulted;
            result.fault = why;
            ended = true;
        }
        uc_emu_stop(uc);
    }
};

std::uint32_t reg(uc_engine *uc, int id)
{
    std::uint32_t value = 0;
    uc_reg_read(uc, id, &value);
    return value;
}

void on_program_instruction(uc_engine *uc, std::uint64_t, std::uint32_t, void *data)
{
    auto *run = static_cast<Session *>(data);
    run->result.instructions++;
    std::uint32_t sp = reg(uc, UC_ARM_REG_SP);
    if (sp < run->lowest_sp)
        run->lowest_sp = sp;
}

void on_platform_call(uc_engine *uc, std::uint64_t address, std::uint32_t, void *data)
{
    auto *run = static_cast<Session *>(data);
    std::uint32_t stub = std::uint32_t(address - stub_base) / 4;
    std::uint32_t args[4] = {reg(uc, UC_ARM_REG_R0), reg(uc, UC_ARM_REG_R1),
                             reg(uc, UC_ARM_REG_R2), reg(uc, UC_ARM_REG_R3)};
    if (stub == entry_return_stub) {
        run->result.ending = Result::exited;
        run->result.exit_status = args[0];
        run->ended = true;
        uc_emu_stop(uc);
        return;
    }
    if (stub >= platform::function_count || address % 4 != 0) {
        run->end_with_fault("jump into the platform's memory at " + hex(address));
        return;
    }
    // Reached in the other instruction set, the function's first
    // instruction would be garbage; on a device that is a crash.
    bool thumb = reg(uc, UC_ARM_REG_CPSR) & cpsr_thumb;
    if (thumb != run->cpu->thumb_platform) {
        run->end_with_fault(std::string(platform::exports[stub].name) + " reached in " +
                            (thumb ? "Thumb" : "ARM") + " state; on the " +
                            run->cpu->name + " the platform's functions are " +
                            (thumb ? "ARM" : "Thumb") + " code");
        return;
    }
    platform::ReadMemory read = [uc](std::uint32_t at, void *to, std::size_t size) {
        return uc_mem_read(uc, at, to, size) == UC_ERR_OK;
    };
    platform::Outcome outcome =
        platform::call(*run->state, platform::Function(stub), args, read);
    if (!outcome.fault.empty()) {
        run->end_with_fault(outcome.fault);
    } else if (outcome.ends_program) {
        run->result.ending = Result::exited;
        run->result.exit_status = outcome.exit_status;
        run->ended = true;
        uc_emu_stop(uc);
    } else {
        uc_reg_write(uc, UC_ARM_REG_R0, &outcome.r0);
    }
}

bool on_invalid_memory(uc_engine *uc, uc_mem_type type, std::uint64_t address,
                       int, std::int64_t, void *data)
{
    auto *run = static_cast<Session *>(data);
    const char *what = "access to";
    switch (type) {
    case UC_MEM_READ_UNMAPPED: what = "read from unmapped memory at"; break;
    case UC_MEM_WRITE_UNMAPPED: what = "write to unmapped memory at"; break;
    case UC_MEM_FETCH_UNMAPPED: what = "fetch from unmapped memory at"; break;
    case UC_MEM_READ_PROT: what = "read from unreadable memory at"; break;
    case UC_MEM_WRITE_PROT: what = "write to read-only memory at"; break;
    case UC_MEM_FETCH_PROT: what = "fetch from non-executable memory at"; break;
    default: break;
    }
    std::string why = std::string(what) + " " + hex(address);
    if (type != UC_MEM_FETCH_UNMAPPED && type != UC_MEM_FETCH_PROT)
        why += " by the instruction at " + hex(reg(uc, UC_ARM_REG_PC));
    run->end_with_fault(why);
    return false;
}

void on_exception(uc_engine *uc, std::uint32_t number, void *data)
{
    auto *run = static_cast<Session *>(data);
    std::uint32_t pc = reg(uc, UC_ARM_REG_PC);
    // QEMU's ARM exception numbers. A software interrupt leaves the pc on
    // the next instruction; undefined instructions end the run through
    // UC_ERR_INSN_INVALID instead.
    if (number == 2)
        run->end_with_fault("software interrupt at " + hex(pc - 4) +
                            ", which the emulated platform does not serve");
    else
        run->end_with_fault("processor exception " + std::to_string(number) +
                            " at " + hex(pc));
}

bool map(Session &run, std::uint32_t address, std::uint32_t size, int protection,
         const void *bytes, std::size_t length)
{
    if (uc_mem_map(run.uc, address, size, std::uint32_t(protection)) != UC_ERR_OK)
        return false;
    return length == 0 || uc_mem_write(run.uc, address, bytes, length) == UC_ERR_OK;
}

bool set_up(Session &run, const loader::Plan &plan, const std::vector<std::uint8_t> &file,
            const Options &options, std::string &error)
{
    uc_engine *uc = run.uc;
    for (const loader::Region &region : plan.regions) {
        if (!map(run, region.address, region.size, region.protection,
                 file.data() + region.file_offset, region.file_size)) {
            error = "cannot map " + region.name + " at " + hex(region.address);
            return false;
        }
    }

    std::vector<std::uint32_t> stubs(page / 4, 0);
    for (std::uint32_t i = 0; i < entry_return_stub; i++)
        stubs[i] = run.cpu->thumb_platform ? thumb_return : arm_return;
    stubs[entry_return_stub] = arm_return;
    if (!map(run, stub_base, page, UC_PROT_READ | UC_PROT_EXEC, stubs.data(), page)) {
        error = "cannot map the platform's stubs";
        return false;
    }
    for (const loader::Binding &binding : plan.bindings) {
        std::uint32_t address =
            binding.function < 0 ? 0 : run.state->address_of(platform::Function(binding.function));
        if (uc_mem_write(uc, binding.iat_slot, &address, 4) != UC_ERR_OK) {
            error = "cannot write the import address table at " + hex(binding.iat_slot);
            return false;
        }
    }

    std::vector<std::uint16_t> line(options.command_line.begin(),
                                    options.command_line.end());
    line.push_back(0);
    std::uint32_t line_size = std::uint32_t(line.size() * 2);
    if (!map(run, command_line_base, (line_size + page - 1) / page * page,
             UC_PROT_READ | UC_PROT_WRITE, line.data(), line_size) ||
        !map(run, stack_top - stack_size, stack_size, UC_PROT_READ | UC_PROT_WRITE,
             nullptr, 0)) {
        error = "cannot map the command line and the stack";
        return false;
    }

    // The CE kernel's call of the entry point: the process, 0, the command
    // line and the show flag.
    std::uint32_t registers[][2] = {
        {UC_ARM_REG_R0, options.process},
        {UC_ARM_REG_R1, 0},
        {UC_ARM_REG_R2, command_line_base},
        {UC_ARM_REG_R3, sw_show},
        {UC_ARM_REG_SP, entry_sp},
        {UC_ARM_REG_LR, stub_base + 4 * entry_return_stub},
    };
    for (auto &r : registers)
        uc_reg_write(uc, int(r[0]), &r[1]);

    uc_hook hook;
    if (uc_hook_add(uc, &hook, UC_HOOK_CODE, (void *)on_program_instruction, &run,
                    0, stub_base - 1) != UC_ERR_OK ||
        uc_hook_add(uc, &hook, UC_HOOK_CODE, (void *)on_platform_call, &run,
                    stub_base, stub_base + page - 1) != UC_ERR_OK ||
        uc_hook_add(uc, &hook, UC_HOOK_MEM_INVALID, (void *)on_invalid_memory, &run,
                    1, 0) != UC_ERR_OK ||
        uc_hook_add(uc, &hook, UC_HOOK_INTR, (void *)on_exception, &run, 1, 0) !=
            UC_ERR_OK) {
        error = "cannot install the emulator's hooks";
        return false;
    }
    return true;
}

}  // namespace

Result run(const loader::Plan &plan, const std::vector<std::uint8_t> &file,
           platform::State &state, const Options &options)
{
    Session run;
    run.state = &state;
    run.cpu = &cpu::models[options.cpu];
    state.address_of = [thumb = run.cpu->thumb_platform](platform::Function function) {
        return stub_base + 4 * std::uint32_t(function) + (thumb ? 1 : 0);
    };
    if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &run.uc) != UC_ERR_OK) {
        run.result.fault = "cannot start the ARM emulator";
        return run.result;
    }
    // On the SA-1110 (ARMv4 without Thumb) bx, blx and every later
    // instruction is undefined, as on the oldest devices we support.
    std::string error;
    if (uc_ctl_set_cpu_model(run.uc, unicorn_models[options.cpu]) != UC_ERR_OK) {
        run.result.fault = std::string("cannot select the ") + run.cpu->name +
                           " processor model";
    } else if (!set_up(run, plan, file, options, error)) {
        run.result.fault = error;
    } else {
        uc_err err = uc_emu_start(run.uc, plan.entry, 0xFFFFFFFF, 0,
                                  options.max_instructions);
        if (!run.ended) {
            std::string pc = hex(reg(run.uc, UC_ARM_REG_PC));
            if (err == UC_ERR_INSN_INVALID) {
                run.result.fault = "undefined instruction at " + pc;
            } else if (err != UC_ERR_OK) {
                run.result.fault = std::string(uc_strerror(err)) + " at " + pc;
            } else {
                run.result.ending = Result::instruction_limit;
            }
        }
        run.result.stack_bytes = entry_sp - run.lowest_sp;
    }
    uc_close(run.uc);
    return run.result;
}

}  // namespace emulator
