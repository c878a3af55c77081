#include "platform.h"

#include <cctype>

#include "hex.h"

namespace platform {

namespace {

constexpr std::int32_t ce_eio = 5;  // EIO in the CE runtime's errno.h
constexpr std::size_t max_perror_prefix = 1024;

// The runtime's text for each error number the platform can leave.
const char *error_text(std::int32_t number)
{
    switch (number) {
    case 0: return "No error";
    case ce_eio: return "Input/output error";
    default: return "Unknown error";
    }
}

std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

void trace(State &state, const std::string &line)
{
    if (state.trace != nullptr)
        std::fprintf(state.trace, "%s\n", line.c_str());
}

bool same_dll(std::string_view a, std::string_view b)
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

Outcome perror_call(State &state, std::uint32_t prefix_address, const ReadMemory &read)
{
    Outcome outcome;
    std::string prefix;
    if (prefix_address != 0) {
        for (;;) {
            char c;
            if (!read(prefix_address + std::uint32_t(prefix.size()), &c, 1)) {
                outcome.fault = "perror read its prefix from unmapped memory at " +
                                hex(prefix_address + std::uint32_t(prefix.size()));
                return outcome;
            }
            if (c == '\0')
                break;
            if (prefix.size() == max_perror_prefix) {
                outcome.fault = "perror prefix is not terminated within " +
                                std::to_string(max_perror_prefix) + " bytes";
                return outcome;
            }
            prefix += c;
        }
    }
    trace(state, "perror(" + (prefix_address != 0 ? quoted(prefix) : "NULL") + ")");
    // As the C runtime does: no prefix, no separator.
    const char *text = error_text(state.errno_value);
    if (prefix.empty())
        std::fprintf(state.standard_error, "%s\n", text);
    else
        std::fprintf(state.standard_error, "%s: %s\n", prefix.c_str(), text);
    std::fflush(state.standard_error);
    return outcome;
}

}  // namespace

const Export exports[function_count] = {
    {"coredll.dll", "RegFlushKey"},
    {"coredll.dll", "ExitThread"},
    {"c.dll", "perror"},
};

int find_export(std::string_view dll, std::string_view name)
{
    for (int i = 0; i < function_count; i++) {
        if (same_dll(dll, exports[i].dll) && name == exports[i].name)
            return i;
    }
    return -1;
}

Outcome call(State &state, Function function, const std::uint32_t args[4],
             const ReadMemory &read)
{
    Outcome outcome;
    switch (function) {
    case RegFlushKey:
        return reg_flush_key(state, args[0]);
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
