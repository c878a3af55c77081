// Each stowkey.exe field by field: a PE32 image that every ARM device of
// the CE releases it serves loads, and nothing more than that.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kinds.h"
#include "pe_image.h"
#include "process.h"

namespace test {
void PrintTo(const Kind &kind, std::ostream *out)
{
    *out << kind.name;
}
}  // namespace test

namespace {

using test::Kind;

// An image of machine 0x01C4 is Thumb-2 code, entered in Thumb state: its
// entry RVA is odd.
bool thumb_entry(const Kind &kind)
{
    return kind.machine == pe::machine_armnt;
}

class Image : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override
    {
        bytes_ = test::read_file(GetParam().image(DEVICE_DIR));
        std::string error;
        ASSERT_TRUE(pe::read_image(bytes_.data(), bytes_.size(), image_, error)) << error;
    }

    const pe::Section &section(const std::string &name)
    {
        for (const pe::Section &s : image_.sections) {
            if (s.name == name)
                return s;
        }
        throw std::runtime_error("no section " + name);
    }

    std::vector<std::uint8_t> bytes_;
    pe::Image image_;
};

TEST_P(Image, HeadersMarkAnArmCeExecutable)
{
    const Kind &kind = GetParam();
    EXPECT_EQ(image_.machine, kind.machine);
    EXPECT_EQ(image_.characteristics, pe::file_executable_image | pe::file_32bit_machine |
                                          pe::file_relocs_stripped);
    EXPECT_EQ(image_.timestamp, STOWKEY_PE_TIMESTAMP);
    EXPECT_EQ(image_.optional_magic, pe::optional_magic_pe32);
    EXPECT_EQ(image_.subsystem, pe::subsystem_windows_ce_gui);
    EXPECT_EQ(image_.dll_characteristics, pe::dll_nx_compat);
    EXPECT_EQ(image_.optional_header_size, 0xE0u);
    EXPECT_EQ(image_.directory_count, 16u);
    EXPECT_EQ(image_.subsystem_version[0], kind.lowest_major);
    EXPECT_EQ(image_.subsystem_version[1], kind.lowest_minor);
    EXPECT_EQ(image_.os_version[0], kind.lowest_major);
    EXPECT_EQ(image_.os_version[1], kind.lowest_minor);
    EXPECT_EQ(image_.image_version[0], STOWKEY_VERSION_MAJOR);
    EXPECT_EQ(image_.image_version[1], STOWKEY_VERSION_MINOR);
    EXPECT_EQ(image_.entry_rva % 2, thumb_entry(kind) ? 1u : 0u);
    EXPECT_EQ(image_.image_base, 0x00010000u);
    EXPECT_EQ(image_.section_alignment, 0x1000u);
    EXPECT_EQ(image_.file_alignment, 0x200u);
}

TEST_P(Image, SizesAgreeWithTheFile)
{
    EXPECT_LE(bytes_.size(), 1536u);
    EXPECT_EQ(image_.size_of_headers % image_.file_alignment, 0u);

    // The raw data follows the headers block after block, each padded to
    // the file alignment, and ends the file.
    std::uint32_t file_end = image_.size_of_headers;
    std::uint32_t memory_end = 0, code = 0, data = 0;
    for (const pe::Section &s : image_.sections) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.raw_offset, file_end);
        EXPECT_EQ(s.raw_size % image_.file_alignment, 0u);
        EXPECT_GT(s.virtual_size, 0u);
        EXPECT_LE(s.virtual_size, s.raw_size) << "part of the section is not in the file";
        file_end = s.raw_offset + s.raw_size;
        memory_end = s.virtual_address + s.virtual_size;
        if (s.characteristics & pe::scn_code)
            code += s.raw_size;
        if (s.characteristics & pe::scn_initialized_data)
            data += s.raw_size;
    }
    EXPECT_EQ(file_end, bytes_.size());
    EXPECT_EQ(image_.size_of_image, (memory_end + 0xFFFu) & ~0xFFFu);
    EXPECT_EQ(image_.size_of_code, code);
    EXPECT_EQ(image_.size_of_initialized_data, data);
}

TEST_P(Image, SectionsAreNeverWritableAndExecutable)
{
    const pe::Section &text = section(".text");
    EXPECT_EQ(text.characteristics, pe::scn_code | pe::scn_execute | pe::scn_read);
    EXPECT_EQ(pe::section_at(image_, image_.entry_rva & ~1u), &text);
    for (const pe::Section &s : image_.sections) {
        SCOPED_TRACE(s.name);
        EXPECT_TRUE(s.characteristics & pe::scn_read);
        EXPECT_FALSE((s.characteristics & pe::scn_write) && (s.characteristics & pe::scn_execute));
    }
}

TEST_P(Image, ImportsExactlyWhatTheCommandCalls)
{
    std::set<std::pair<std::string, std::string>> imported;
    for (const pe::Import &import : image_.imports)
        imported.insert({import.dll, import.function});
    // c.dll is on no stock device: its perror is looked up at run time.
    const std::set<std::pair<std::string, std::string>> expected = {
        {"coredll.dll", "RegFlushKey"}, {"coredll.dll", "ExitThread"},
        {"coredll.dll", "LoadLibraryW"}, {"coredll.dll", "GetProcAddressW"}};
    EXPECT_EQ(imported, expected);
    EXPECT_EQ(image_.imports.size(), expected.size());
}

TEST_P(Image, ImportTablesAreReadOnlyAndTheAddressTableWritable)
{
    const pe::DataDirectory &imports = image_.directories[pe::directory_import];
    const pe::DataDirectory &iat = image_.directories[pe::directory_iat];
    ASSERT_NE(imports.rva, 0u);
    EXPECT_EQ(imports.size, 20u * 2) << "one DLL and the closing entry";
    const pe::Section *directory_section = pe::section_at(image_, imports.rva);
    ASSERT_NE(directory_section, nullptr);
    EXPECT_FALSE(directory_section->characteristics & pe::scn_write);

    ASSERT_NE(iat.rva, 0u);
    const pe::Section *iat_section = pe::section_at(image_, iat.rva);
    ASSERT_NE(iat_section, nullptr);
    EXPECT_TRUE(iat_section->characteristics & pe::scn_write);
    EXPECT_FALSE(iat_section->characteristics & pe::scn_execute);
    // One slot per function and a closing slot per DLL, all inside the directory.
    EXPECT_EQ(iat.size, 4u * (4 + 1));
    for (const pe::Import &import : image_.imports) {
        SCOPED_TRACE(import.function);
        EXPECT_GE(import.iat_slot_rva, iat.rva);
        EXPECT_LE(import.iat_slot_rva + 4, iat.rva + iat.size);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Images, Image, testing::ValuesIn(test::read_kinds(DEVICE_DIR)),
    [](const testing::TestParamInfo<Kind> &info) { return info.param.test_name(); });

}  // namespace
