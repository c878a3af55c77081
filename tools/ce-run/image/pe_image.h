// A reader of Windows CE ARM executables: the PE headers, the section
// table and the import directory, every offset and size checked against
// the file before it is used.

#ifndef CE_RUN_PE_IMAGE_H
#define CE_RUN_PE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "signed_bytes.h"

namespace pe {

// ARM (ARMv4 code), Thumb (ARMV4I, may mix in Thumb code), ARMNT (Thumb-2).
constexpr std::uint16_t machine_arm = 0x01C0;
constexpr std::uint16_t machine_thumb = 0x01C2;
constexpr std::uint16_t machine_armnt = 0x01C4;
constexpr std::uint16_t optional_magic_pe32 = 0x010B;
constexpr std::uint16_t subsystem_windows_ce_gui = 9;

constexpr std::uint16_t file_relocs_stripped = 0x0001;
constexpr std::uint16_t file_executable_image = 0x0002;
constexpr std::uint16_t file_32bit_machine = 0x0100;
constexpr std::uint16_t file_dll = 0x2000;

constexpr std::uint16_t dll_nx_compat = 0x0100;

constexpr std::uint32_t scn_code = 0x00000020;
constexpr std::uint32_t scn_initialized_data = 0x00000040;
constexpr std::uint32_t scn_execute = 0x20000000;
constexpr std::uint32_t scn_read = 0x40000000;
constexpr std::uint32_t scn_write = 0x80000000;

constexpr int directory_import = 1;
constexpr int directory_security = 4;
constexpr int directory_base_relocation = 5;
constexpr int directory_debug = 6;
constexpr int directory_iat = 12;
constexpr int directory_com_descriptor = 14;
constexpr int directory_entries = 16;  // as a PE32 optional header has

struct Section {
    std::string name;
    std::uint32_t virtual_address;
    std::uint32_t virtual_size;  // as written; 0 means the raw size
    std::uint32_t raw_offset;
    std::uint32_t raw_size;
    std::uint32_t characteristics;

    // Bytes the section takes in memory, and the part of them from the file.
    std::uint32_t memory_size() const;
    std::uint32_t loaded_raw_size() const;
};

struct DataDirectory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

struct Import {
    std::string dll;
    std::string function;
    std::uint16_t hint;
    std::uint32_t iat_slot_rva;  // where the loader writes the address
};

struct Image {
    std::uint32_t pe_header;  // e_lfanew: where the PE signature is
    std::uint16_t machine;
    std::uint16_t characteristics;
    std::uint32_t timestamp;
    std::uint16_t optional_header_size;
    std::uint16_t optional_magic;
    std::uint32_t size_of_code;
    std::uint32_t size_of_initialized_data;
    std::uint32_t entry_rva;
    std::uint32_t image_base;
    std::uint32_t section_alignment;
    std::uint32_t file_alignment;
    std::uint16_t os_version[2];
    std::uint16_t image_version[2];
    std::uint16_t subsystem_version[2];
    std::uint32_t size_of_image;
    std::uint32_t size_of_headers;
    std::uint16_t subsystem;
    std::uint16_t dll_characteristics;
    std::uint32_t directory_count;       // as written; directories holds up to 16
    DataDirectory directories[directory_entries];
    std::vector<Section> sections;
    std::vector<Import> imports;
};

// The lowest page an image may use, and the first address above the
// user space that ce-run gives to images; its own memory lies above that.
constexpr std::uint32_t lowest_image_address = 0x00010000;
constexpr std::uint32_t image_space_end = 0x70000000;
constexpr std::uint32_t page_size = 0x1000;

// Reads a Windows CE ARM program image and checks what ce-run needs to run
// it safely; the loader's own rules for each CE release are in loader_rules.h.
// The import directory ends, as the CE loaders walk it, at the first
// descriptor without a lookup table. On failure returns false with a
// one-line reason in error; the image is then unspecified.
bool read_image(const std::uint8_t *data, std::size_t size, Image &image,
                std::string &error);

// The section whose memory holds rva, or nullptr.
const Section *section_at(const Image &image, std::uint32_t rva);

// Where the image's Authenticode signature lies (its security directory's
// first WIN_CERTIFICATE) and which bytes its digest covers: the headers
// without the checksum and the security directory entry, each section's
// raw data, and what follows the sections but the certificate table.
SignedBytes signed_bytes(const std::uint8_t *data, std::size_t size, const Image &image);

}  // namespace pe

#endif
