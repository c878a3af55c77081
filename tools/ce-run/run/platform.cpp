#include "platform.h"

#include <cctype>

#include "hex.h"

namespace platform {

namespace {

constexpr std::int32_t ce_eio = 5;  // EIO in the CE runtime's errno.h
constexpr std::size_t max_perror_prefix = 1024;
constexpr std::size_t max_path = 260;  // MAX_PATH, in UTF-16 units with the end
constexpr std::size_t max_dll_name = 31;

// The runtime's text for each error number the platform can leave.
const char *error_text(std::int32_t number)
{
    switch (number) {
    case 0: return "No error";
    case ce_eio: return "Input/output error";
    default: return "Unknown error";
    }
}

// Bytes or UTF-16 units with every one that is not printable ASCII, and
// the backslash, written as a C escape: a program's text then stays on one
// line and cannot steer a terminal. In quotes, the quote is escaped too.
template <typename Text>
std::string escaped(const Text &text, bool in_quotes)
{
    std::string out;
    for (auto unit : text) {
        auto c = static_cast<std::make_unsigned_t<decltype(unit)>>(unit);
        if ((c == '"' && in_quotes) || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, c <= 0xFF ? "\\x%02x" : "\\u%04x",
                          unsigned(c));
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out;
}

template <typename Text>
std::string quoted(const Text &text)
{
    return "\"" + escaped(text, true) + "\"";
}

bool same_text_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); i++) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
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
    trace(state, scripted::flush_trace_line(key, result));
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
    int dll = find_dll(ascii(name));
    if (dll >= 0 && state.device.has(Dll(dll)))
        outcome.r0 = module_handle(Dll(dll));
    trace(state, "LoadLibraryW(" + quoted(name) + ") = " + hex(outcome.r0));
    return outcome;
}

Outcome get_proc_address(State &state, std::uint32_t module, std::uint32_t name_address,
                         const ReadMemory &read)
{
    Outcome outcome;
    // A name below 64 KiB is an ordinal; the platform exports by name only.
    if (name_address < 0x10000) {
        trace(state, "GetProcAddressW(" + hex(module) + ", #" +
                         std::to_string(name_address) + ") = " + hex(0));
        return outcome;
    }
    std::u16string name;
    if (!read_string(read, name_address, max_path, "GetProcAddressW's name", name,
                     outcome.fault))
        return outcome;
    for (int dll = 0; dll < dll_count; dll++) {
        if (module != module_handle(Dll(dll)) || !state.device.has(Dll(dll)))
            continue;
        int function = find_function(Dll(dll), ascii(name));
        if (function >= 0 && state.device.has(Function(function)))
            outcome.r0 = state.address_of(Function(function));
    }
    trace(state, "GetProcAddressW(" + hex(module) + ", " + quoted(name) + ") = " +
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
    trace(state, "perror(" + (prefix_address != 0 ? quoted(prefix) : "NULL") + ")");
    // As the C runtime does: no prefix, no separator.
    std::string line = error_text(state.errno_value);
    if (!prefix.empty())
        line = escaped(prefix, false) + ": " + line;
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

// Past the limit the trace stops and the run ends (trace_full), so that a
// program looping over a platform call cannot fill the disk.
void trace(State &state, const std::string &line)
{
    if (state.trace == nullptr || state.trace_full)
        return;
    if (line.size() + 1 > output_limit - state.trace_written) {
        state.trace_full = true;
        return;
    }
    std::fprintf(state.trace, "%s\n", line.c_str());
    state.trace_written += line.size() + 1;
}

const char *const dll_names[dll_count] = {"coredll.dll", "c.dll"};

const Export exports[function_count] = {
    {coredll, "RegFlushKey"},
    {coredll, "ExitThread"},
    {coredll, "LoadLibraryW"},
    {coredll, "GetProcAddressW"},
    {c_dll, "perror"},
};

int find_dll(std::string_view name)
{
    if (name.size() > max_dll_name)
        return -1;
    for (int dll = 0; dll < dll_count; dll++) {
        std::string_view full = dll_names[dll];
        std::string_view bare = full.substr(0, full.size() - 4);  // without ".dll"
        if (same_text_ignoring_case(name, full) || same_text_ignoring_case(name, bare))
            return dll;
    }
    return -1;
}

int find_function(Dll dll, std::string_view name)
{
    for (int i = 0; i < function_count; i++) {
        if (exports[i].dll == dll && name == exports[i].name)
            return i;
    }
    return -1;
}

bool set_missing(Device &device, std::string_view what, std::string &error)
{
    std::size_t bang = what.find('!');
    int dll = find_dll(what.substr(0, bang));
    if (dll < 0) {
        error = "'" + std::string(what.substr(0, bang)) +
                "' is not a DLL of the emulated platform (coredll.dll, c.dll)";
        return false;
    }
    if (bang == std::string_view::npos) {
        device.dll_missing[dll] = true;
        return true;
    }
    int function = find_function(Dll(dll), what.substr(bang + 1));
    if (function < 0) {
        error = "'" + std::string(what.substr(bang + 1)) + "' is not a function of " +
                dll_names[dll] + " in the emulated platform";
        return false;
    }
    device.function_missing[function] = true;
    return true;
}

Outcome call(State &state, Function function, const std::uint32_t args[4],
             const ReadMemory &read)
{
    Outcome outcome;
    switch (function) {
    case RegFlushKey:
        return reg_flush_key(state, args[0]);
    case LoadLibraryW:
        return load_library(state, args[0], read);
    case GetProcAddressW:
        return get_proc_address(state, args[0], args[1], read);
    case perror:
        return perror_call(state, args[0], read);
    case ExitThread:
        trace(state, "ExitThread(" + std::to_string(args[0]) + ")");
        outcome.ends_program = true;
        outcome.exit_status = args[0];
        return outcome;
    case function_count:
        break;
    }
    outcome.fault = "call to a function the platform does not have";
    return outcome;
}

}  // namespace platform
