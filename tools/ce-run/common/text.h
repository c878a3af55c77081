// Texts as ce-run compares and shows them: names without regard to case,
// as CE compares them, and every text that comes from a file or a
// program written so that it stays one printable line.
//
// The common room (text, hex, version, trace, problem, signed_bytes) is
// what every room of ce-run may use; it uses nothing of ce-run.

#ifndef CE_RUN_TEXT_H
#define CE_RUN_TEXT_H

#include <climits>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <locale.h>
#include <string>
#include <string_view>
#include <type_traits>

// ASCII letters in lower case; every other byte as it is.
inline std::string lower_ascii(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

// A name as CE's file systems compare it: each character in lower case
// by the C library's case mapping (towlower in the C.UTF-8 locale), so
// that "\u00c4pp.exe" and "\u00e4pp.exe" are one file; a byte that is not
// UTF-8 is folded as lower_ascii folds it.
inline std::string fold_case(std::string_view text)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (utf8 == locale_t(0))
        return lower_ascii(text);
    const locale_t previous = uselocale(utf8);
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        std::mbstate_t state{}, out_state{};
        wchar_t wide = 0;
        std::size_t used = std::mbrtowc(&wide, text.data() + at, text.size() - at, &state);
        char folded[MB_LEN_MAX];
        std::size_t size = used == 0 || used > text.size() - at
                               ? std::size_t(-1)
                               : std::wcrtomb(folded, wchar_t(std::towlower(wint_t(wide))), &out_state);
        if (size == std::size_t(-1)) {
            out += lower_ascii(text.substr(at, 1));
            at++;
        } else {
            out.append(folded, size);
            at += used;
        }
    }
    uselocale(previous);
    return out;
}

inline bool same_ignoring_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && lower_ascii(a) == lower_ascii(b);
}

// How a text is escaped: every byte or UTF-16 unit that is not printable
// ASCII becomes \xNN (\uNNNN above 0xFF), so that the text stays on one
// line and cannot steer a terminal. A backslash is doubled where an
// escape must be told from the text itself, kept in device paths, which
// would be unreadable otherwise; in quotes the quote is escaped too.
struct Escaping {
    bool doubles_backslash;
    bool escapes_quote;
};
constexpr Escaping path_escaping = {false, false};
constexpr Escaping name_escaping = {true, false};
constexpr Escaping quoted_escaping = {true, true};

template <typename Text>
std::string escaped(const Text &text, Escaping escaping)
{
    std::string out;
    for (auto unit : text) {
        auto c = static_cast<std::make_unsigned_t<decltype(unit)>>(unit);
        if ((c == '\\' && escaping.doubles_backslash) || (c == '"' && escaping.escapes_quote)) {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, c <= 0xFF ? "\\x%02x" : "\\u%04x", unsigned(c));
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out;
}

// What name gives for each of items, separated by ", ": a list in a message.
template <typename Items, typename Name>
std::string listed(const Items &items, Name name)
{
    std::string out;
    for (const auto &item : items)
        out += (out.empty() ? "" : ", ") + std::string(name(item));
    return out;
}

// Where in items the one stands that name gives text for, or -1: a name
// looked up in a table.
template <typename Items, typename Name>
int position(const Items &items, std::string_view text, Name name)
{
    int at = 0;
    for (const auto &item : items) {
        if (text == name(item))
            return at;
        at++;
    }
    return -1;
}

template <typename Text>
std::string quoted(const Text &text)
{
    return "\"" + escaped(text, quoted_escaping) + "\"";
}

#endif
