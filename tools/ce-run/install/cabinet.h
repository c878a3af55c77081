// A cabinet (.cab), read through libmspack, the library cabextract is
// built on: the facts of its header that installers check, and every file
// it holds, in memory.

#ifndef CE_RUN_CABINET_H
#define CE_RUN_CABINET_H

#include <cstdint>
#include <string>
#include <vector>

namespace cabinet {

struct Entry {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::int64_t date;  // the entry's date and time, read as UTC, in seconds since 1970
};

struct Cabinet {
    std::uint32_t header_length;  // what the header says the cabinet's size is
    bool compressed;              // a folder is compressed (MSZIP, Quantum or LZX)
    std::vector<Entry> entries;
};

// The most all entries together may hold.
constexpr std::size_t max_contents = std::size_t(64) << 20;

// On a file that is no cabinet, or one libmspack cannot read whole,
// returns false with a one-line reason in error.
bool read(const std::vector<std::uint8_t> &file, Cabinet &out, std::string &error);

}  // namespace cabinet

#endif
