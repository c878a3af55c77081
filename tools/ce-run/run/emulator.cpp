#include "emulator.h"

#include <algorithm>

#include <unicorn/unicorn.h>

#include "hex.h"
#include "table.h"

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
constexpr std::uint32_t entry_return_stub = exports::function_count;
constexpr std::uint32_t cpsr_thumb = 1u << 5;
// A CE application runs in user mode (always from 6.0 on, and before
// unless the device's maker switched on full kernel mode), where the
// system control coprocessor and the other privileged instructions are
// undefined.
constexpr std::uint32_t cpsr_user_mode = 0x10;

constexpr std::uint32_t sw_show = 5;

struct UnicornModel {
    cpu::Model model;
    uc_cpu_arm unicorn;
};
constexpr UnicornModel unicorn_models[] = {
    {cpu::sa1110, UC_CPU_ARM_SA1110},
    {cpu::pxa270, UC_CPU_ARM_PXA270},
    {cpu::cortex_a8, UC_CPU_ARM_CORTEX_A8},
};
static_assert(in_order(unicorn_models, cpu::model_count, &UnicornModel::model));

// The plan's protection bits are Unicorn's, so they pass straight through.
static_assert(int(loader::read) == int(UC_PROT_READ) &&
              int(loader::write) == int(UC_PROT_WRITE) &&
              int(loader::execute) == int(UC_PROT_EXEC));

struct Mapped {
    std::uint64_t begin, end;  // end is one past the last byte
    bool readable;
};

struct Emulation {
    uc_engine *uc = nullptr;
    emulated::State *state = nullptr;
    const cpu::Properties *cpu = nullptr;
    std::uint64_t max_instructions = 0;
    Outcome result;
    bool ended = false;
    std::uint32_t lowest_sp = entry_sp;
    std::uint32_t last_address = 0;      // of the program's latest instruction
    std::uint64_t platform_calls = 0;
    std::uint8_t it_state = 0;           // of the Thumb-2 IT block the next instruction is in
    // The hint the code hook last stepped over: where it was, and where
    // and in which state the program goes on.
    struct {
        std::uint32_t address, next, cpsr;
    } stepped_over = {1, 0, 0};
    std::vector<Mapped> memory;

    void end(Outcome::Ending ending, const std::string &fault = "")
    {
        if (!ended) {
            result.ending = ending;
            result.fault = fault;
            ended = true;
        }
        uc_emu_stop(uc);
    }
    void end_with_fault(const std::string &why) { end(Outcome::faulted, why); }
    void end_with_exit(std::uint32_t status)
    {
        if (!ended)
            result.exit_status = status;
        end(Outcome::exited);
    }

    // Whether the program itself could read these bytes: the platform
    // reads its arguments only as the program could, whatever Unicorn's
    // own reads would allow.
    emulated::Access access(std::uint32_t address, std::size_t size) const
    {
        for (std::uint64_t at : {std::uint64_t(address), std::uint64_t(address) + size - 1}) {
            auto region = std::find_if(memory.begin(), memory.end(), [at](const Mapped &m) {
                return at >= m.begin && at < m.end;
            });
            if (region == memory.end())
                return emulated::Access::unmapped;
            if (!region->readable)
                return emulated::Access::unreadable;
        }
        return emulated::Access::readable;
    }
};

std::uint32_t reg(uc_engine *uc, int id)
{
    std::uint32_t value = 0;
    uc_reg_read(uc, id, &value);
    return value;
}

// The hint instructions of ARMv6K and later: in ARM code the condition,
// then 0x0320F000 and the hint; in Thumb-2 0xBF00, or 0xF3AF 0x8000, with it.
enum Hint { nop, yield, wfe, wfi, sev, not_a_hint };

constexpr std::uint32_t always = 0xE;  // the condition code AL

// What ce-run must know of an instruction: whether it is a hint, and
// whether it opens a Thumb-2 IT block (its low byte is the block's state).
struct Instruction {
    Hint hint = not_a_hint;
    bool thumb = false;
    std::uint32_t condition = always;  // in ARM code; in Thumb-2 the IT block's
    std::uint8_t opens_it = 0;
};

// Called for every instruction: the processor state is read only for a
// word that has a hint's or an IT instruction's form.
Instruction decode(uc_engine *uc, std::uint64_t address, std::uint32_t size)
{
    std::uint8_t bytes[4] = {};
    if (size > sizeof bytes || uc_mem_read(uc, address, bytes, size) != UC_ERR_OK)
        return {};
    std::uint32_t low = std::uint32_t(bytes[0] | bytes[1] << 8);
    std::uint32_t high = std::uint32_t(bytes[2] | bytes[3] << 8);
    Instruction instruction;
    std::uint32_t hint = not_a_hint;
    if (size == 2 && (low & 0xFF00) == 0xBF00 && (low & 0xF) != 0) {
        instruction.opens_it = std::uint8_t(low), instruction.thumb = true;
    } else if (size == 2 && (low & 0xFF0F) == 0xBF00) {
        hint = (low >> 4) & 0xF, instruction.thumb = true;
    } else if (size == 4 && low == 0xF3AF && (high & 0xFF00) == 0x8000) {
        hint = high & 0xFF, instruction.thumb = true;
    } else if (size == 4 && (high & 0x0FFF) == 0x0320 && (low & 0xFF00) == 0xF000 &&
               high >> 12 != 0xF) {
        hint = low & 0xFF, instruction.condition = high >> 12;
    } else {
        return {};
    }
    if (instruction.thumb != bool(reg(uc, UC_ARM_REG_CPSR) & cpsr_thumb))
        return {};
    instruction.hint = hint < not_a_hint ? Hint(hint) : not_a_hint;
    return instruction;
}

// The IT state after an instruction of the block: the next condition's
// low bit shifts in, and after the last instruction the block is over.
std::uint8_t next_it_state(std::uint8_t state)
{
    return (state & 0x7) == 0 ? 0 : std::uint8_t((state & 0xE0) | ((state << 1) & 0x1F));
}

// The IT state's place in the CPSR: its low two bits at 25, the rest at 10.
std::uint32_t with_it_state(std::uint32_t cpsr, std::uint8_t state)
{
    return (cpsr & ~(0x3u << 25 | 0x3Fu << 10)) | std::uint32_t(state & 0x3) << 25 |
           std::uint32_t(state >> 2) << 10;
}

bool condition_passes(std::uint32_t condition, std::uint32_t cpsr)
{
    bool n = cpsr >> 31 & 1, z = cpsr >> 30 & 1, c = cpsr >> 29 & 1, v = cpsr >> 28 & 1;
    bool holds;
    switch (condition >> 1) {
    case 0: holds = z; break;
    case 1: holds = c; break;
    case 2: holds = n; break;
    case 3: holds = v; break;
    case 4: holds = c && !z; break;
    case 5: holds = n == v; break;
    case 6: holds = !z && n == v; break;
    default: return true;
    }
    return condition & 1 ? !holds : holds;
}

// Hints the processor model would mistake: Unicorn takes yield and wfe for
// undefined instructions, also inside an IT block, and stops quietly at
// wfi. On ARMv4 and ARMv5 the ARM encodings are an MSR that writes
// nothing, and the Thumb ones do not exist, so only ARMv7 waits, and only
// when the hint's condition (its own in ARM code, its IT block's in
// Thumb-2) holds. Every other hint is stepped over here, with the IT state
// it leaves, which Unicorn would otherwise resume without.
void carry_out_hint(Emulation &emulation, std::uint64_t address, std::uint32_t size)
{
    std::uint8_t it_state = emulation.it_state;
    Instruction at = decode(emulation.uc, address, size);
    emulation.it_state = at.opens_it != 0 ? at.opens_it : next_it_state(it_state);
    if (at.hint == not_a_hint || (at.thumb && !emulation.cpu->armv7))
        return;
    std::uint32_t cpsr = reg(emulation.uc, UC_ARM_REG_CPSR);
    std::uint32_t condition = !at.thumb ? at.condition
                              : (it_state & 0xF) != 0 ? std::uint32_t(it_state >> 4)
                                                      : always;
    if (emulation.cpu->armv7 && (at.hint == wfe || at.hint == wfi) && condition_passes(condition, cpsr)) {
        emulation.end_with_fault(at.hint == wfe ? "wfe at " + hex(address) +
                                                ": the program waits for an event, and the "
                                                "emulated device signals none"
                                          : "wfi at " + hex(address) +
                                                ": the program waits for an interrupt, and "
                                                "the emulated device raises none");
        return;
    }
    if (at.thumb) {
        cpsr = with_it_state(cpsr, emulation.it_state);
        uc_reg_write(emulation.uc, UC_ARM_REG_CPSR, &cpsr);
    }
    std::uint32_t next = std::uint32_t(address + size) | (at.thumb ? 1 : 0);
    uc_reg_write(emulation.uc, UC_ARM_REG_PC, &next);
    emulation.stepped_over = {std::uint32_t(address), next, cpsr};
}

void on_program_instruction(uc_engine *uc, std::uint64_t address, std::uint32_t size,
                            void *data)
{
    auto *emulation = static_cast<Emulation *>(data);
    emulation->last_address = std::uint32_t(address);
    if (emulation->result.instructions == emulation->max_instructions) {
        emulation->end(Outcome::instruction_limit);
        return;
    }
    emulation->result.instructions++;
    std::uint32_t sp = reg(uc, UC_ARM_REG_SP);
    if (sp < emulation->lowest_sp)
        emulation->lowest_sp = sp;
    carry_out_hint(*emulation, address, size);
}

void on_platform_call(uc_engine *uc, std::uint64_t address, std::uint32_t, void *data)
{
    auto *emulation = static_cast<Emulation *>(data);
    // A program can loop through the stubs alone (lr pointing at one), so
    // their count is bounded as well.
    if (++emulation->platform_calls > emulation->max_instructions) {
        emulation->end(Outcome::instruction_limit);
        return;
    }
    std::uint32_t stub = std::uint32_t(address - stub_base) / 4;
    std::uint32_t args[4] = {reg(uc, UC_ARM_REG_R0), reg(uc, UC_ARM_REG_R1),
                             reg(uc, UC_ARM_REG_R2), reg(uc, UC_ARM_REG_R3)};
    if (stub == entry_return_stub) {
        emulation->end_with_exit(args[0]);
        return;
    }
    if (stub >= exports::function_count || address % 4 != 0) {
        emulation->end_with_fault("jump into the platform's memory at " + hex(address));
        return;
    }
    // Reached in the other instruction set, the function's first
    // instruction would be garbage; on a device that is a crash.
    bool thumb = reg(uc, UC_ARM_REG_CPSR) & cpsr_thumb;
    if (thumb != emulation->cpu->thumb_platform) {
        emulation->end_with_fault(std::string(exports::functions[stub].name) + " reached in " +
                                (thumb ? "Thumb" : "ARM") + " state; on the " +
                                emulation->cpu->name + " the platform's functions are " +
                                (thumb ? "ARM" : "Thumb") + " code");
        return;
    }
    emulated::ReadMemory read = [emulation](std::uint32_t at, void *to, std::size_t size) {
        emulated::Access access = emulation->access(at, size);
        if (access == emulated::Access::readable &&
            uc_mem_read(emulation->uc, at, to, size) != UC_ERR_OK)
            access = emulated::Access::unmapped;
        return access;
    };
    emulated::Outcome outcome =
        emulated::call(*emulation->state, exports::Function(stub), args, read);
    if (!outcome.fault.empty()) {
        emulation->end_with_fault(outcome.fault);
    } else if (emulation->state->trace.full) {
        emulation->end(Outcome::trace_full);
    } else if (emulation->state->standard_error_full) {
        emulation->end(Outcome::standard_error_full);
    } else if (outcome.ends_program) {
        emulation->end_with_exit(outcome.exit_status);
    } else {
        uc_reg_write(uc, UC_ARM_REG_R0, &outcome.r0);
    }
}

bool on_invalid_memory(uc_engine *uc, uc_mem_type type, std::uint64_t address,
                       int, std::int64_t, void *data)
{
    auto *emulation = static_cast<Emulation *>(data);
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
    emulation->end_with_fault(why);
    return false;
}

void on_exception(uc_engine *, std::uint32_t number, void *data)
{
    auto *emulation = static_cast<Emulation *>(data);
    // QEMU's ARM exception numbers; the pc may already have moved on, so
    // the instruction is the one the code hook saw last.
    std::string at = hex(emulation->last_address);
    if (number == 1)
        emulation->end_with_fault("undefined instruction at " + at);
    else if (number == 2)
        emulation->end_with_fault("software interrupt at " + at +
                            ", which the emulated platform does not serve");
    else
        emulation->end_with_fault("processor exception " + std::to_string(number) + " at " + at);
}

bool map(Emulation &emulation, std::uint32_t address, std::uint32_t size, int protection,
         const void *bytes, std::size_t length)
{
    if (uc_mem_map(emulation.uc, address, size, std::uint32_t(protection)) != UC_ERR_OK)
        return false;
    emulation.memory.push_back({address, std::uint64_t(address) + size,
                          (protection & UC_PROT_READ) != 0});
    return length == 0 || uc_mem_write(emulation.uc, address, bytes, length) == UC_ERR_OK;
}

// The image's regions, as the plan lays them out.
bool map_image(Emulation &emulation, const loader::Plan &plan, const std::vector<std::uint8_t> &file,
               std::string &error)
{
    for (const loader::Region &region : plan.regions) {
        if (!map(emulation, region.address, region.size, region.protection,
                 file.data() + region.file_offset, region.file_size)) {
            error = "cannot map " + region.name + " at " + hex(region.address);
            return false;
        }
    }
    return true;
}

// The platform's stubs, and each import address table slot bound to one.
bool bind_platform(Emulation &emulation, const loader::Plan &plan, std::string &error)
{
    std::vector<std::uint32_t> stubs(page / 4, 0);
    for (std::uint32_t i = 0; i < entry_return_stub; i++)
        stubs[i] = emulation.cpu->thumb_platform ? thumb_return : arm_return;
    stubs[entry_return_stub] = arm_return;
    if (!map(emulation, stub_base, page, UC_PROT_READ | UC_PROT_EXEC, stubs.data(), page)) {
        error = "cannot map the platform's stubs";
        return false;
    }
    for (const loader::Binding &binding : plan.bindings) {
        std::uint32_t address = binding.function < 0
                                    ? 0
                                    : emulation.state->address_of(
                                          exports::Function(binding.function));
        if (uc_mem_write(emulation.uc, binding.iat_slot, &address, 4) != UC_ERR_OK) {
            error = "cannot write the import address table at " + hex(binding.iat_slot);
            return false;
        }
    }
    return true;
}

bool map_command_line_and_stack(Emulation &emulation, const std::u16string &command_line,
                                std::string &error)
{
    std::vector<std::uint16_t> line(command_line.begin(), command_line.end());
    line.push_back(0);
    std::uint32_t line_size = std::uint32_t(line.size() * 2);
    if (!map(emulation, command_line_base, (line_size + page - 1) / page * page,
             UC_PROT_READ | UC_PROT_WRITE, line.data(), line_size) ||
        !map(emulation, stack_top - stack_size, stack_size, UC_PROT_READ | UC_PROT_WRITE,
             nullptr, 0)) {
        error = "cannot map the command line and the stack";
        return false;
    }
    return true;
}

// The CE kernel's call of the entry point, in user mode: the process, 0,
// the command line and the show flag. The mode goes first, so that the
// stack pointer is the user mode's.
void enter(Emulation &emulation, const loader::Plan &plan, const Settings &settings)
{
    std::uint32_t registers[][2] = {
        {UC_ARM_REG_CPSR, cpsr_user_mode | (plan.entry % 2 != 0 ? cpsr_thumb : 0)},
        {UC_ARM_REG_R0, settings.process},
        {UC_ARM_REG_R1, 0},
        {UC_ARM_REG_R2, command_line_base},
        {UC_ARM_REG_R3, sw_show},
        {UC_ARM_REG_SP, entry_sp},
        {UC_ARM_REG_LR, stub_base + 4 * entry_return_stub},
    };
    for (auto &r : registers)
        uc_reg_write(emulation.uc, int(r[0]), &r[1]);
}

bool add_hooks(Emulation &emulation, std::string &error)
{
    uc_engine *uc = emulation.uc;
    uc_hook hook;
    if (uc_hook_add(uc, &hook, UC_HOOK_CODE, (void *)on_program_instruction, &emulation,
                    0, stub_base - 1) != UC_ERR_OK ||
        uc_hook_add(uc, &hook, UC_HOOK_CODE, (void *)on_platform_call, &emulation,
                    stub_base, stub_base + page - 1) != UC_ERR_OK ||
        uc_hook_add(uc, &hook, UC_HOOK_MEM_INVALID, (void *)on_invalid_memory, &emulation,
                    1, 0) != UC_ERR_OK ||
        uc_hook_add(uc, &hook, UC_HOOK_INTR, (void *)on_exception, &emulation, 1, 0) !=
            UC_ERR_OK) {
        error = "cannot install the emulator's hooks";
        return false;
    }
    return true;
}

bool set_up(Emulation &emulation, const loader::Plan &plan, const std::vector<std::uint8_t> &file,
            const Settings &settings, std::string &error)
{
    if (!map_image(emulation, plan, file, error) || !bind_platform(emulation, plan, error) ||
        !map_command_line_and_stack(emulation, settings.command_line, error) ||
        !add_hooks(emulation, error))
        return false;
    enter(emulation, plan, settings);
    return true;
}

}  // namespace

Outcome run(const loader::Plan &plan, const std::vector<std::uint8_t> &file,
           emulated::State &state, const Settings &settings)
{
    Emulation emulation;
    emulation.state = &state;
    emulation.max_instructions = settings.max_instructions;
    emulation.cpu = &cpu::models[settings.cpu];
    state.address_of = [thumb = emulation.cpu->thumb_platform](exports::Function function) {
        return stub_base + 4 * std::uint32_t(function) + (thumb ? 1 : 0);
    };
    if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &emulation.uc) != UC_ERR_OK) {
        emulation.result.fault = "cannot start the ARM emulator";
        return emulation.result;
    }
    // On the SA-1110 (ARMv4 without Thumb) bx, blx and every later
    // instruction is undefined, as on the oldest devices we support.
    std::string error;
    if (uc_ctl_set_cpu_model(emulation.uc, unicorn_models[settings.cpu].unicorn) != UC_ERR_OK) {
        emulation.result.fault =
            std::string("cannot select the ") + emulation.cpu->name + " processor model";
    } else if (!set_up(emulation, plan, file, settings, error)) {
        emulation.result.fault = error;
    } else {
        // The hooks count the instructions and end the run at the limit,
        // so Unicorn is given none.
        uc_err err = uc_emu_start(emulation.uc, plan.entry, 0xFFFFFFFF, 0, 0);
        // Inside an IT block Unicorn stops at a hint as at an undefined
        // instruction even when the code hook has stepped over it; the
        // program goes on after it.
        while (!emulation.ended && err == UC_ERR_INSN_INVALID &&
               emulation.stepped_over.address == emulation.last_address) {
            emulation.stepped_over.address = 1;
            uc_reg_write(emulation.uc, UC_ARM_REG_CPSR, &emulation.stepped_over.cpsr);
            err = uc_emu_start(emulation.uc, emulation.stepped_over.next, 0xFFFFFFFF, 0, 0);
        }
        std::string at = hex(emulation.last_address);
        if (err == UC_ERR_INSN_INVALID)
            emulation.end_with_fault("undefined instruction at " + at);
        else if (err != UC_ERR_OK)
            emulation.end_with_fault(std::string(uc_strerror(err)) + " at " + at);
        else
            emulation.end_with_fault("the processor stopped at " + at + " for no reason it gives");
        emulation.result.stack_bytes = entry_sp - emulation.lowest_sp;
    }
    uc_close(emulation.uc);
    return emulation.result;
}

}  // namespace emulator
