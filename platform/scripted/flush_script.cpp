#include "flush_script.h"

#include <cstdio>

namespace scripted {

namespace {

const char *const root_key_names[root_key_count] = {
    "HKEY_CLASSES_ROOT",
    "HKEY_CURRENT_USER",
    "HKEY_LOCAL_MACHINE",
    "HKEY_USERS",
};

bool parse_code(std::string_view text, std::int32_t &code)
{
    bool negative = false;
    unsigned base = 10;
    if (text.substr(0, 2) == "0x" || text.substr(0, 2) == "0X") {
        base = 16;
        text.remove_prefix(2);
    } else if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 10)
        return false;
    std::uint64_t value = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return false;
        value = value * base + digit;
    }
    if (base == 16) {
        if (value > 0xFFFFFFFFu)
            return false;
        code = std::int32_t(std::uint32_t(value));
    } else if (negative) {
        if (value > 0x80000000u)
            return false;
        code = std::int32_t(-std::int64_t(value));
    } else {
        if (value > 0x7FFFFFFFu)
            return false;
        code = std::int32_t(value);
    }
    return true;
}

}  // namespace

const char *root_key_name(std::uint32_t handle)
{
    std::uint32_t index = handle - first_root_key;
    return index < root_key_count ? root_key_names[index] : nullptr;
}

bool set_flush_result(FlushScript &script, std::string_view setting,
                      std::string &error)
{
    std::size_t equals = setting.find('=');
    std::string_view name = setting.substr(0, equals);
    int index = 0;
    while (index < root_key_count && name != root_key_names[index])
        index++;
    if (equals == std::string_view::npos || index == root_key_count) {
        error = "'" + std::string(setting) +
                "' is not KEY=CODE with KEY one of HKEY_CLASSES_ROOT, "
                "HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS";
        return false;
    }
    std::string_view code_text = setting.substr(equals + 1);
    std::int32_t code;
    if (!parse_code(code_text, code)) {
        error = "'" + std::string(code_text) + "' for " + std::string(name) +
                " is not a 32-bit result code (decimal from -2147483648 to "
                "2147483647, or hexadecimal from 0x0 to 0xFFFFFFFF)";
        return false;
    }
    script.result[index] = code;
    return true;
}

bool set_flush_results(FlushScript &script, std::string_view settings,
                       std::string &error)
{
    FlushScript updated = script;
    while (!settings.empty()) {
        std::size_t end = settings.find_first_of(", \t\n");
        std::string_view setting = settings.substr(0, end);
        if (!setting.empty() && !set_flush_result(updated, setting, error))
            return false;
        settings.remove_prefix(end == std::string_view::npos ? settings.size()
                                                             : end + 1);
    }
    script = updated;
    return true;
}

std::int32_t flush_result(const FlushScript &script, std::uint32_t handle)
{
    if (root_key_name(handle) == nullptr)
        return error_invalid_handle;
    return script.result[handle - first_root_key];
}

std::string flush_trace_line(std::uint32_t handle, std::int32_t result)
{
    char key[16];
    const char *name = root_key_name(handle);
    if (name == nullptr) {
        std::snprintf(key, sizeof key, "0x%08x", unsigned(handle));
        name = key;
    }
    return "RegFlushKey(" + std::string(name) + ") = " + std::to_string(result);
}

}  // namespace scripted
