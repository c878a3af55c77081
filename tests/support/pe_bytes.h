// Reading and changing a PE image's bytes in tests: little-endian fields at
// the offsets its headers give.

#ifndef STOWKEY_TESTS_PE_BYTES_H
#define STOWKEY_TESTS_PE_BYTES_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace test {

using Bytes = std::vector<std::uint8_t>;

inline std::uint32_t get32(const Bytes &b, std::size_t at)
{
    return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | std::uint32_t(b.at(at + 3)) << 24;
}

inline std::uint16_t get16(const Bytes &b, std::size_t at)
{
    return std::uint16_t(b.at(at) | b.at(at + 1) << 8);
}

inline void put32(Bytes &b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b.at(at + i) = std::uint8_t(v >> (8 * i));
}

inline void put16(Bytes &b, std::size_t at, std::uint16_t v)
{
    b.at(at) = std::uint8_t(v);
    b.at(at + 1) = std::uint8_t(v >> 8);
}

// Where the headers are: the PE signature, the file header, the optional
// header, and the section table after it.
struct Layout {
    std::size_t pe, coff, optional, sections;
    std::size_t section(int i) const { return sections + 40 * i; }
    std::size_t directory(int i) const { return optional + 96 + 8 * i; }
};

inline Layout layout(const Bytes &b)
{
    Layout l;
    l.pe = get32(b, 0x3C);
    l.coff = l.pe + 4;
    l.optional = l.coff + 20;
    l.sections = l.optional + get16(b, l.coff + 16);
    return l;
}

// The file offset of an address in the first section, .text.
inline std::size_t text_offset(const Bytes &b, std::uint32_t rva)
{
    Layout l = layout(b);
    return get32(b, l.section(0) + 20) + (rva - get32(b, l.section(0) + 12));
}

inline std::uint32_t text_rva(const Bytes &b, std::size_t offset)
{
    Layout l = layout(b);
    return std::uint32_t(offset - get32(b, l.section(0) + 20) + get32(b, l.section(0) + 12));
}

// The offset of the first occurrence of text, which must be there.
inline std::size_t find(const Bytes &b, const std::string &text)
{
    auto at = std::search(b.begin(), b.end(), text.begin(), text.end());
    if (at == b.end())
        throw std::runtime_error("no '" + text + "' in the image");
    return std::size_t(at - b.begin());
}

// As ce-run writes addresses: "0x0001c000".
inline std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

}  // namespace test

#endif
