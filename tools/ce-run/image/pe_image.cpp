#include "pe_image.h"

#include <algorithm>

#include "hex.h"
#include "text.h"

namespace pe {

namespace {

constexpr std::size_t dos_header_size = 64;
constexpr std::size_t file_header_size = 20;
constexpr std::size_t optional_header_fixed_size = 96;  // PE32, before the directories
constexpr std::size_t section_header_size = 40;
constexpr std::size_t import_descriptor_size = 20;
constexpr unsigned max_sections = 96;
constexpr unsigned max_import_dlls = 256;
constexpr unsigned max_imports_per_dll = 4096;
constexpr std::size_t max_name_length = 256;

// Names come from the file: keep them to one printable line.
std::string printable(const std::string &text)
{
    return escaped(text, name_escaping);
}

std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

bool power_of_two(std::uint32_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// Little-endian reads from the file that fail instead of running past it.
class Bytes {
public:
    Bytes(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    std::size_t size() const { return size_; }

    bool has(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= size_ && length <= size_ - offset;
    }

    std::uint16_t u16(std::size_t offset) const
    {
        return std::uint16_t(data_[offset] | data_[offset + 1] << 8);
    }

    std::uint32_t u32(std::size_t offset) const
    {
        return std::uint32_t(data_[offset]) |
               std::uint32_t(data_[offset + 1]) << 8 |
               std::uint32_t(data_[offset + 2]) << 16 |
               std::uint32_t(data_[offset + 3]) << 24;
    }

    std::uint8_t at(std::size_t offset) const { return data_[offset]; }

private:
    const std::uint8_t *data_;
    std::size_t size_;
};

class Reader {
public:
    Reader(Bytes bytes, Image &image, std::string &error)
        : bytes_(bytes), image_(image), error_(error) {}

    bool read()
    {
        return read_signatures() && read_file_header() && read_optional_header() &&
               check_layout() && check_section_table() && read_sections() && check_entry() &&
               read_imports();
    }

private:
    bool fail(const std::string &why)
    {
        error_ = why;
        return false;
    }

    // The DOS header's MZ, and the PE signature where it points.
    bool read_signatures()
    {
        if (bytes_.size() < dos_header_size)
            return fail("not a PE image: " + std::to_string(bytes_.size()) +
                        " bytes is too short for a DOS header");
        if (bytes_.at(0) != 'M' || bytes_.at(1) != 'Z')
            return fail("not a PE image: no MZ signature");
        std::uint32_t pe_offset = bytes_.u32(0x3C);
        if (!bytes_.has(pe_offset, 4 + file_header_size))
            return fail("truncated: the PE header at " + hex(pe_offset) +
                        " lies past the end of the file");
        if (bytes_.u32(pe_offset) != 0x00004550)
            return fail("not a PE image: no PE signature at " + hex(pe_offset));
        image_.pe_header = pe_offset;
        file_header_ = pe_offset + 4;
        return true;
    }

    // An ARM executable with a sane number of sections.
    bool read_file_header()
    {
        std::size_t file_header = file_header_;
        image_.machine = bytes_.u16(file_header);
        section_count_ = bytes_.u16(file_header + 2);
        image_.timestamp = bytes_.u32(file_header + 4);
        image_.optional_header_size = bytes_.u16(file_header + 16);
        image_.characteristics = bytes_.u16(file_header + 18);
        if (image_.machine != machine_arm && image_.machine != machine_thumb &&
            image_.machine != machine_armnt)
            return fail("machine " + hex(image_.machine, 4) +
                        " is not ARM (0x01c0, 0x01c2 or 0x01c4)");
        if (!(image_.characteristics & file_executable_image))
            return fail("not an executable image (characteristics " +
                        hex(image_.characteristics, 4) + ")");
        if (section_count_ == 0 || section_count_ > max_sections)
            return fail(std::to_string(section_count_) +
                        " sections: a program has from 1 to " +
                        std::to_string(max_sections));
        return true;
    }

    // The PE32 optional header's fields and data directories, as far as
    // its size says they go.
    bool read_optional_header()
    {
        std::size_t optional = file_header_ + file_header_size;
        std::uint16_t optional_size = image_.optional_header_size;
        if (optional_size < optional_header_fixed_size)
            return fail("optional header of " + std::to_string(optional_size) +
                        " bytes is too short for PE32 (at least " +
                        std::to_string(optional_header_fixed_size) + ")");
        if (!bytes_.has(optional, optional_size))
            return fail("truncated: the optional header lies past the end of the file");
        image_.optional_magic = bytes_.u16(optional);
        if (image_.optional_magic != optional_magic_pe32)
            return fail("optional header magic " + hex(image_.optional_magic, 4) +
                        " is not PE32 (0x010b)");
        image_.size_of_code = bytes_.u32(optional + 4);
        image_.size_of_initialized_data = bytes_.u32(optional + 8);
        image_.entry_rva = bytes_.u32(optional + 16);
        image_.image_base = bytes_.u32(optional + 28);
        image_.section_alignment = bytes_.u32(optional + 32);
        image_.file_alignment = bytes_.u32(optional + 36);
        image_.os_version[0] = bytes_.u16(optional + 40);
        image_.os_version[1] = bytes_.u16(optional + 42);
        image_.image_version[0] = bytes_.u16(optional + 44);
        image_.image_version[1] = bytes_.u16(optional + 46);
        image_.subsystem_version[0] = bytes_.u16(optional + 48);
        image_.subsystem_version[1] = bytes_.u16(optional + 50);
        image_.size_of_image = bytes_.u32(optional + 56);
        image_.size_of_headers = bytes_.u32(optional + 60);
        image_.subsystem = bytes_.u16(optional + 68);
        image_.dll_characteristics = bytes_.u16(optional + 70);
        image_.directory_count = bytes_.u32(optional + 92);
        if (image_.directory_count > (optional_size - optional_header_fixed_size) / 8)
            return fail(std::to_string(image_.directory_count) +
                        " data directories do not fit the optional header");
        for (std::uint32_t i = 0; i < image_.directory_count && i < directory_entries; i++) {
            image_.directories[i].rva = bytes_.u32(optional + 96 + 8 * i);
            image_.directories[i].size = bytes_.u32(optional + 100 + 8 * i);
        }
        section_table_ = optional + optional_size;
        return true;
    }

    // Alignments, and an image that fits the user space.
    bool check_layout()
    {
        if (!power_of_two(image_.file_alignment) || image_.file_alignment < 0x200 ||
            image_.file_alignment > 0x10000)
            return fail("file alignment " + hex(image_.file_alignment) +
                        " is not a power of two from 0x200 to 0x10000");
        if (!power_of_two(image_.section_alignment) ||
            image_.section_alignment < page_size)
            return fail("section alignment " + hex(image_.section_alignment) +
                        " is not a power of two of at least a 4 KiB page");
        if (image_.image_base % page_size != 0)
            return fail("image base " + hex(image_.image_base) +
                        " is not on a page boundary");
        std::uint64_t image_end =
            std::uint64_t(image_.image_base) + image_.size_of_image;
        if (image_.size_of_image == 0 ||
            image_.size_of_image % image_.section_alignment != 0)
            return fail("size of image " + hex(image_.size_of_image) +
                        " is not a whole number of sections' alignment");
        if (image_.image_base < lowest_image_address || image_end > image_space_end)
            return fail("the image from " + hex(image_.image_base) + " to " +
                        hex(image_end) + " is outside the user space from " +
                        hex(lowest_image_address) + " to " + hex(image_space_end));
        return true;
    }

    // The section table, within the file and within the size of headers.
    bool check_section_table()
    {
        std::uint64_t table_end =
            section_table_ + std::uint64_t(section_count_) * section_header_size;
        if (!bytes_.has(section_table_, table_end - section_table_))
            return fail("truncated: the section table lies past the end of the file");
        if (image_.size_of_headers < table_end ||
            image_.size_of_headers > bytes_.size())
            return fail("size of headers " + hex(image_.size_of_headers) +
                        " does not cover the section table (ending at " +
                        hex(table_end) + ") within the file (" +
                        std::to_string(bytes_.size()) + " bytes)");
        return true;
    }

    bool read_sections()
    {
        std::uint64_t next_free =
            align_up(image_.size_of_headers, image_.section_alignment);
        for (unsigned i = 0; i < section_count_; i++) {
            std::size_t header = section_table_ + i * section_header_size;
            Section section;
            for (std::size_t c = 0; c < 8 && bytes_.at(header + c) != 0; c++)
                section.name += char(bytes_.at(header + c));
            section.virtual_size = bytes_.u32(header + 8);
            section.virtual_address = bytes_.u32(header + 12);
            section.raw_size = bytes_.u32(header + 16);
            section.raw_offset = bytes_.u32(header + 20);
            section.characteristics = bytes_.u32(header + 36);
            std::string what = "section " + std::to_string(i + 1) + " (" +
                               printable(section.name) + ")";

            if (section.raw_size != 0 &&
                !bytes_.has(section.raw_offset, section.raw_size))
                return fail(what + ": raw data at " + hex(section.raw_offset) +
                            " of " + hex(section.raw_size) +
                            " bytes lies outside the file (" +
                            std::to_string(bytes_.size()) + " bytes)");
            if (section.virtual_address % image_.section_alignment != 0)
                return fail(what + ": address " + hex(section.virtual_address) +
                            " is not aligned to the section alignment");
            if (section.virtual_address < next_free)
                return fail(what + ": address " + hex(section.virtual_address) +
                            " overlaps the headers or the section before it");
            std::uint64_t end =
                std::uint64_t(section.virtual_address) + section.memory_size();
            if (end > image_.size_of_image)
                return fail(what + ": ends at " + hex(end) +
                            ", past the size of image " + hex(image_.size_of_image));
            next_free = align_up(end, image_.section_alignment);
            image_.sections.push_back(section);
        }
        return true;
    }

    // ARMNT code is Thumb-2, entered in Thumb state: its entry point's
    // address is odd. The others start in ARM code.
    bool check_entry()
    {
        bool thumb = image_.machine == machine_armnt;
        std::uint32_t code = image_.entry_rva & ~1u;
        const Section *section = section_at(image_, code);
        if (section == nullptr || !(section->characteristics & scn_execute))
            return fail("entry point " + hex(image_.entry_rva) +
                        " is not in an executable section");
        if (thumb && image_.entry_rva % 2 != 1)
            return fail("entry point " + hex(image_.entry_rva) +
                        " is even: a 0x01c4 image is entered in Thumb state");
        if (!thumb && image_.entry_rva % 4 != 0)
            return fail("entry point " + hex(image_.entry_rva) +
                        " is not on a word boundary, as ARM code must be");
        return true;
    }

    // The section whose memory holds all length bytes at rva, or nullptr.
    const Section *section_holding(std::uint64_t rva, unsigned length) const
    {
        const Section *section = rva <= UINT32_MAX ? section_at(image_, std::uint32_t(rva)) : nullptr;
        if (section == nullptr ||
            rva + length > std::uint64_t(section->virtual_address) + section->memory_size())
            return nullptr;
        return section;
    }

    // A byte of section's memory as the loader maps it: from the file within
    // the section's raw data, zero in the rest.
    std::uint8_t memory_byte(const Section &section, std::uint64_t rva) const
    {
        std::uint64_t within = rva - section.virtual_address;
        return within < section.loaded_raw_size() ? bytes_.at(section.raw_offset + within) : 0;
    }

    // A little-endian field of length bytes at rva, all in one section.
    bool memory_field(std::uint64_t rva, unsigned length, std::uint32_t &value) const
    {
        const Section *section = section_holding(rva, length);
        if (section == nullptr)
            return false;
        value = 0;
        for (unsigned i = 0; i < length; i++)
            value |= std::uint32_t(memory_byte(*section, rva + i)) << (8 * i);
        return true;
    }

    bool read_string(std::uint32_t rva, const std::string &what, std::string &text)
    {
        const Section *section = section_at(image_, rva);
        if (section == nullptr)
            return fail(what + " at " + hex(rva) + " is outside the image's data");
        std::uint64_t end = std::uint64_t(section->virtual_address) + section->memory_size();
        text.clear();
        for (std::uint64_t at = rva; at < end; at++) {
            std::uint8_t byte = memory_byte(*section, at);
            if (byte == 0)
                return true;
            if (text.size() == max_name_length)
                return fail(what + " at " + hex(rva) + " is longer than " +
                            std::to_string(max_name_length) + " bytes");
            text += char(byte);
        }
        return fail(what + " at " + hex(rva) + " runs past the end of its section");
    }

    bool read_imports()
    {
        DataDirectory directory = image_.directories[directory_import];
        if (directory.rva == 0 && directory.size == 0)
            return true;
        for (unsigned d = 0;; d++) {
            std::uint64_t rva = std::uint64_t(directory.rva) + d * import_descriptor_size;
            std::uint32_t lookup_rva, name_rva, iat_rva;
            if (!memory_field(rva, 4, lookup_rva) || !memory_field(rva + 12, 4, name_rva) ||
                !memory_field(rva + 16, 4, iat_rva))
                return fail("import directory entry " + std::to_string(d + 1) +
                            " at " + hex(rva) + " is outside the image's data");
            // The loaders stop here even when the name and IAT are set:
            // the imports of this and later descriptors are never bound.
            if (lookup_rva == 0)
                return true;
            if (d == max_import_dlls)
                return fail("more than " + std::to_string(max_import_dlls) +
                            " imported DLLs");
            std::string dll;
            if (!read_string(name_rva, "imported DLL name", dll))
                return false;
            if (!read_dll_imports(printable(dll), lookup_rva, iat_rva))
                return false;
        }
    }

    bool read_dll_imports(const std::string &dll, std::uint32_t lookup_rva,
                          std::uint32_t iat_rva)
    {
        for (unsigned i = 0;; i++) {
            std::uint64_t entry_rva = std::uint64_t(lookup_rva) + 4 * i;
            std::uint32_t value;
            if (!memory_field(entry_rva, 4, value))
                return fail("import lookup entry " + std::to_string(i + 1) +
                            " of " + dll + " at " + hex(entry_rva) +
                            " is outside the image's data");
            if (value == 0)
                return true;
            if (i == max_imports_per_dll)
                return fail("more than " + std::to_string(max_imports_per_dll) +
                            " imports from " + dll);
            if (value & 0x80000000u)
                return fail("import " + std::to_string(i + 1) + " of " + dll +
                            " is by ordinal (" + std::to_string(value & 0xFFFF) +
                            "); the platform resolves imports by name");
            Import import;
            import.dll = dll;
            std::uint32_t hint;
            if (!memory_field(value, 2, hint))
                return fail("import " + std::to_string(i + 1) + " of " + dll +
                            ": hint and name at " + hex(value) +
                            " are outside the image's data");
            import.hint = std::uint16_t(hint);
            std::string name;
            if (!read_string(value + 2, "import name of " + dll, name))
                return false;
            import.function = printable(name);
            std::uint64_t slot = std::uint64_t(iat_rva) + 4 * i;
            if (section_holding(slot, 4) == nullptr)
                return fail("import address table slot of " + dll + "!" +
                            import.function + " at " + hex(slot) +
                            " is outside the image's sections");
            import.iat_slot_rva = std::uint32_t(slot);
            image_.imports.push_back(import);
        }
    }

    Bytes bytes_;
    Image &image_;
    std::string &error_;
    unsigned section_count_ = 0;
    std::size_t file_header_ = 0;
    std::size_t section_table_ = 0;
};

}  // namespace

std::uint32_t Section::memory_size() const
{
    return virtual_size != 0 ? virtual_size : raw_size;
}

std::uint32_t Section::loaded_raw_size() const
{
    return raw_size < memory_size() ? raw_size : memory_size();
}

bool read_image(const std::uint8_t *data, std::size_t size, Image &image,
                std::string &error)
{
    image = Image();
    return Reader(Bytes(data, size), image, error).read();
}

SignedBytes signed_bytes(const std::uint8_t *data, std::size_t size, const Image &image)
{
    SignedBytes out;
    Bytes bytes(data, size);
    const DataDirectory &table = image.directories[directory_security];
    if (table.rva == 0 && table.size == 0)
        return out;
    out.present = true;
    // The directory's "RVA" is a file offset; its first entry: u32 length,
    // u16 revision, u16 type (2, PKCS#7 SignedData), the DER.
    if (!bytes.has(table.rva, table.size) || table.size < 8 ||
        !bytes.has(table.rva, bytes.u32(table.rva)) || bytes.u32(table.rva) < 8 ||
        bytes.u32(table.rva) > table.size) {
        out.malformed = "its certificate table at " + hex(table.rva) + " of " + hex(table.size) +
                        " bytes lies outside the file";
        return out;
    }
    std::uint16_t revision = bytes.u16(table.rva + 4), type = bytes.u16(table.rva + 6);
    if ((revision != 0x0200 && revision != 0x0100) || type != 2) {
        out.malformed = "its certificate is of revision " + hex(revision, 4) + " and type " +
                        hex(type, 4) + ", not a PKCS#7 SignedData (2)";
        return out;
    }
    out.der_offset = table.rva + 8;
    out.der_size = bytes.u32(table.rva) - 8;
    // The checksum and the security directory entry are not covered.
    std::uint64_t checksum = image.pe_header + 88, entry = image.pe_header + 152;
    out.covered = {{0, checksum}, {checksum + 4, entry}, {entry + 8, image.size_of_headers}};
    std::vector<const Section *> sections;
    for (const Section &section : image.sections) {
        if (section.raw_size != 0)
            sections.push_back(&section);
    }
    std::sort(sections.begin(), sections.end(), [](const Section *a, const Section *b) {
        return a->raw_offset < b->raw_offset;
    });
    std::uint64_t end = image.size_of_headers;
    for (const Section *section : sections) {
        out.covered.push_back({section->raw_offset, std::uint64_t(section->raw_offset) + section->raw_size});
        end = std::max(end, std::uint64_t(section->raw_offset) + section->raw_size);
    }
    if (end > table.rva) {
        out.malformed = "its certificate table at " + hex(table.rva) + " lies within its sections";
        return out;
    }
    out.covered.push_back({end, table.rva});
    out.covered.push_back({std::uint64_t(table.rva) + table.size, size});
    for (const auto &[begin, stop] : out.covered) {
        if (begin > stop || stop > size) {
            out.malformed = "its headers leave no room for the fields a signature skips";
            out.covered.clear();
        }
    }
    return out;
}

const Section *section_at(const Image &image, std::uint32_t rva)
{
    for (const Section &section : image.sections) {
        if (rva >= section.virtual_address &&
            std::uint64_t(rva) < std::uint64_t(section.virtual_address) +
                                     section.memory_size())
            return &section;
    }
    return nullptr;
}

}  // namespace pe
