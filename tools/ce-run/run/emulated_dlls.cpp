#include "emulated_dlls.h"

#include "hex.h"
#include "text.h"

namespace emulated {

namespace {

constexpr std::int32_t ce_eio = 5;  // EIO in the CE runtime's errno.h
constexpr std::size_t max_perror_prefix = 1024;
constexpr std::size_t max_path = 260;  // MAX_PATH, in UTF-16 units with the end

// The runtime's text for each error number the platform can leave.
const char *error_text(std::int32_t number)
{
    switch (number) {
    case 0: return "No error";
    case ce_eio: return "Input/output error";
    default: return "Unknown error";
    }
}

// Reads a string the program passed, up to its terminating zero unit;
// false with the fault when the program could not read it, or it is longer
// than limit units.
template <typename Unit>
bool read_string(const ReadMemory &read, std::uint32_t address, std::size_t limit,
                 const char *who, std::basic_string<Unit> &text, std::string &fault)
{
    text.clear();
    for (;;) {
        std::uint32_t at = address + std::uint32_t(text.size() * sizeof(Unit));
        Unit unit;
        Access access = read(at, &unit, sizeof unit);
        if (access != Access::readable) {
            fault = std::string(who) + " read from " +
                    (access == Access::unmapped ? "unmapped" : "unreadable") +
                    " memory at " + hex(at);
            return false;
        }
        if (unit == 0)
            return true;
        if (text.size() == limit) {
            fault = std::string(who) + " is not terminated within " +
                    std::to_string(limit) + " units";
            return false;
        }
        text += unit;
    }
}

// Only ASCII names can name the platform's DLLs and functions.
std::string ascii(const std::u16string &text)
{
    std::string out;
    for (char16_t unit : text)
        out += unit < 0x80 ? char(unit) : '\x7F';
    return out;
}

Outcome reg_flush_key(State &state, std::uint32_t key)
{
    Outcome outcome;
    std::int32_t result = scripted::flush_result(state.flush, key);
    state.trace.line(scripted::flush_trace_line(key, result));
    if (result != 0)
        state.errno_value = ce_eio;
    outcome.r0 = std::uint32_t(result);
    return outcome;
}

Outcome load_library(State &state, std::uint32_t name_address, const ReadMemory &read)
{
    Outcome outcome;
    std::u16string name;
    if (!read_string(read, name_address, max_path, "LoadLibraryW's name", name,
                     outcome.fault))
        return outcome;
    int dll = exports::find_dll(ascii(name));
    if (dll >= 0 && exports::offers(state.missing, exports::Dll(dll)))
        outcome.r0 = module_handle(exports::Dll(dll));
    state.trace.line("LoadLibraryW(" + quoted(name) + ") = " + hex(outcome.r0));
    return outcome;
}

Outcome get_proc_address(State &state, std::uint32_t module, std::uint32_t name_address,
                         const ReadMemory &read)
{
    Outcome outcome;
    // A name below 64 KiB is an ordinal; the platform exports by name only.
    if (name_address < 0x10000) {
        state.trace.line("GetProcAddressW(" + hex(module) + ", #" +
                         std::to_string(name_address) + ") = " + hex(0));
        return outcome;
    }
    std::u16string name;
    if (!read_string(read, name_address, max_path, "GetProcAddressW's name", name,
                     outcome.fault))
        return outcome;
    for (int dll = 0; dll < exports::dll_count; dll++) {
        if (module != module_handle(exports::Dll(dll)) ||
            !exports::offers(state.missing, exports::Dll(dll)))
            continue;
        int function = exports::find_function(exports::Dll(dll), ascii(name));
        if (function >= 0 && exports::offers(state.missing, exports::Function(function)))
            outcome.r0 = state.address_of(exports::Function(function));
    }
    state.trace.line("GetProcAddressW(" + hex(module) + ", " + quoted(name) + ") = " +
                     hex(outcome.r0));
    return outcome;
}

Outcome perror_call(State &state, std::uint32_t prefix_address, const ReadMemory &read)
{
    Outcome outcome;
    std::string prefix;
    if (prefix_address != 0 &&
        !read_string(read, prefix_address, max_perror_prefix, "perror's prefix", prefix,
                     outcome.fault))
        return outcome;
    state.trace.line("perror(" + (prefix_address != 0 ? quoted(prefix) : "NULL") + ")");
    // As the C runtime does: no prefix, no separator.
    std::string line = error_text(state.errno_value);
    if (!prefix.empty())
        line = escaped(prefix, name_escaping) + ": " + line;
    // Past the limit nothing more is written and the run ends, as for the trace.
    if (line.size() + 1 > output_limit - state.standard_error_written) {
        state.standard_error_full = true;
        return outcome;
    }
    std::fprintf(state.standard_error, "%s\n", line.c_str());
    std::fflush(state.standard_error);
    state.standard_error_written += line.size() + 1;
    return outcome;
}

}  // namespace

Outcome call(State &state, exports::Function function, const std::uint32_t args[4],
             const ReadMemory &read)
{
    Outcome outcome;
    switch (function) {
    case exports::RegFlushKey:
        return reg_flush_key(state, args[0]);
    case exports::LoadLibraryW:
        return load_library(state, args[0], read);
    case exports::GetProcAddressW:
        return get_proc_address(state, args[0], args[1], read);
    case exports::perror:
        return perror_call(state, args[0], read);
    case exports::ExitThread:
        state.trace.line("ExitThread(" + std::to_string(args[0]) + ")");
        outcome.ends_program = true;
        outcome.exit_status = args[0];
        return outcome;
    case exports::function_count:
        break;
    }
    outcome.fault = "call to a function the platform does not have";
    return outcome;
}

}  // namespace emulated
