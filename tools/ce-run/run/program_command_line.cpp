#include "program_command_line.h"

namespace program_command_line {

namespace {

std::string quote(const std::string &argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
        return argument;
    // Backslashes double only where a quote follows them.
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

void append_utf16(std::u16string &out, const std::string &text)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        unsigned char lead = s[i];
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2
                           : lead >= 0xE0 && lead < 0xF0 ? 3
                           : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        bool valid = length != 0 && i + length <= n;
        for (std::size_t k = 1; valid && k < length; k++) {
            valid = (s[i + k] & 0xC0) == 0x80;
            code = code << 6 | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if (valid && ((length == 3 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) ||
                      (length == 4 && (code < 0x10000 || code > 0x10FFFF))))
            valid = false;
        if (!valid) {
            out += u'\uFFFD';
            i++;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out += char16_t(0xD800 + (code >> 10));
            out += char16_t(0xDC00 + (code & 0x3FF));
        } else {
            out += char16_t(code);
        }
        i += length;
    }
}

}  // namespace

std::u16string build(const std::vector<std::string> &arguments)
{
    std::u16string line;
    for (std::size_t i = 0; i < arguments.size(); i++) {
        if (i > 0)
            line += u' ';
        append_utf16(line, quote(arguments[i]));
    }
    return line;
}

}  // namespace program_command_line
