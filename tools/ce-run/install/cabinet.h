// A cabinet (.cab), read through libmspack, the library cabextract is
// built on: first the facts of its header that installers check and the
// list of its files, then every file's bytes, in memory, each folder
// decompressed once whatever the order of its files.

#ifndef CE_RUN_CABINET_H
#define CE_RUN_CABINET_H

#include <cstdint>
#include <string>
#include <vector>

#include "problem.h"
#include "signed_bytes.h"

namespace cabinet {

struct Entry {
    std::string name;
    std::uint32_t length;
    std::int64_t date;  // the entry's date and time, read as UTC, in seconds since 1970
    std::vector<std::uint8_t> bytes;  // once extracted
};

struct Cabinet {
    std::uint32_t header_length;  // what the header says the cabinet's size is
    bool compressed;              // a folder is compressed (MSZIP, Quantum or LZX)
    std::vector<Entry> entries;
};

// The most all entries together may hold, and the most the folders may
// decompress to: ce-run's own limit, which bounds the work of any cabinet.
constexpr std::size_t max_contents = std::size_t(64) << 20;

// The header's facts and the list of entries, nothing extracted. On a
// file that is no cabinet, or one libmspack cannot list, returns false
// with a one-line reason.
bool read(const std::vector<std::uint8_t> &file, Cabinet &out, Problem &problem);

// The bytes of every entry that read listed.
bool extract(const std::vector<std::uint8_t> &file, Cabinet &cab, Problem &problem);

// Where a signed cabinet's Authenticode signature lies, from the frame in
// its header's 20-byte reserve, and which bytes its digest covers: all but
// the header's checksum, its set index, its reserve's sizes and frame, and
// the signature. The cabinet may have a per-folder reserve too, as most
// that CabWiz writes have (docs/sources.md, section 12).
SignedBytes signed_bytes(const std::vector<std::uint8_t> &file);

}  // namespace cabinet

#endif
