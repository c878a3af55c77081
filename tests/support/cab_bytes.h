// Writes cabinets for tests that need one no tool would make: files
// listed in any order, at any offset of one uncompressed folder. A test
// writes them; ce-run and the independent tools read them.

#ifndef STOWKEY_TESTS_CAB_BYTES_H
#define STOWKEY_TESTS_CAB_BYTES_H

#include <cstdint>
#include <string>
#include <vector>

#include "pe_bytes.h"

namespace test {

struct CabFile {
    std::string name;
    std::uint32_t offset;  // in the folder
    std::uint32_t length;
};

// One cabinet of one uncompressed folder holding folder, in data blocks of
// 32 KiB without checksums, and the files as listed, in that order; with
// a per-folder reserve of folder_reserve bytes, as CabWiz writes most.
inline Bytes cabinet(const Bytes &folder, const std::vector<CabFile> &files,
                     std::uint8_t folder_reserve = 0)
{
    constexpr std::size_t block = 32768;
    const std::size_t folder_at = folder_reserve != 0 ? 40 : 36;
    Bytes out(folder_at + 8 + folder_reserve);
    std::size_t files_at = out.size();
    for (const CabFile &file : files) {
        std::size_t at = out.size();
        out.resize(at + 16);
        put32(out, at, file.length);
        put32(out, at + 4, file.offset);
        put16(out, at + 10, 0x0021);  // 1980-01-01
        out.insert(out.end(), file.name.begin(), file.name.end());
        out.push_back(0);
    }
    std::size_t data_at = out.size(), blocks = 0;
    for (std::size_t at = 0; at < folder.size(); at += block, blocks++) {
        std::size_t size = std::min(block, folder.size() - at);
        std::size_t header = out.size();
        out.resize(header + 8);
        put16(out, header + 4, std::uint16_t(size));
        put16(out, header + 6, std::uint16_t(size));
        out.insert(out.end(), folder.begin() + long(at), folder.begin() + long(at + size));
    }
    const char signature[] = "MSCF";
    std::copy(signature, signature + 4, out.begin());
    put32(out, 8, std::uint32_t(out.size()));
    put32(out, 16, std::uint32_t(files_at));
    out[24] = 3;  // version 1.3
    out[25] = 1;
    put16(out, 26, 1);
    put16(out, 28, std::uint16_t(files.size()));
    if (folder_reserve != 0) {
        put16(out, 30, 0x0004);  // reserve present: no header reserve, folder_reserve per folder
        out[38] = folder_reserve;
    }
    put32(out, folder_at, std::uint32_t(data_at));
    put16(out, folder_at + 4, std::uint16_t(blocks));
    return out;
}

}  // namespace test

#endif
