// ce-run on input it must refuse: images made malformed from the real
// stowkey.exe, code patched to fault, and bad command lines. Each gives
// one "ce-run: " line naming what is wrong and an exit status of its own,
// never a crash.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <functional>
#include <string>
#include <vector>

#include "cab_bytes.h"
#include "pe_bytes.h"
#include "process.h"

// The rows damage the CE 3 to 7 image, and those of Thumb-2 code the CE 8 one.
#define CE3_TO_CE7_IMAGE DEVICE_DIR "/ce3-to-ce7/stowkey.exe"
#define CE8_IMAGE DEVICE_DIR "/ce8/stowkey.exe"
#define CAB DEVICE_DIR "/ce3-to-ce7/stowkey.cab"

namespace {

using namespace test;

// Where the entry point's code starts; a Thumb entry point's RVA is odd.
std::uint32_t entry_rva(const Bytes &b) { return get32(b, layout(b).optional + 16) & ~1u; }

// Replaces the code at the entry point.
void patch_entry(Bytes &b, std::vector<std::uint32_t> words)
{
    std::size_t at = text_offset(b, entry_rva(b));
    for (std::uint32_t word : words) {
        put32(b, at, word);
        at += 4;
    }
}

std::uint32_t entry_address(const Bytes &b) { return 0x10000 + entry_rva(b); }

std::uint32_t round_to_page(std::uint32_t size) { return (size + 0xFFF) & ~0xFFFu; }

// Appends bytes to the raw data of the last section, .data, whose memory
// then reaches tail bytes further (zero-filled); returns their RVA.
std::uint32_t append(Bytes &b, const Bytes &bytes, std::uint32_t tail = 0)
{
    Layout l = layout(b);
    std::uint32_t rva = get32(b, l.section(1) + 12) + get32(b, l.section(1) + 16);
    b.insert(b.end(), bytes.begin(), bytes.end());
    std::uint32_t raw = get32(b, l.section(1) + 16) + std::uint32_t(bytes.size());
    put32(b, l.section(1) + 16, raw);
    put32(b, l.section(1) + 8, raw + tail);
    put32(b, l.optional + 56, round_to_page(get32(b, l.section(1) + 12) + raw + tail));
    return rva;
}

Bytes words(std::vector<std::uint32_t> values)
{
    Bytes bytes(4 * values.size());
    for (std::size_t i = 0; i < values.size(); i++)
        put32(bytes, 4 * i, values[i]);
    return bytes;
}

std::size_t lookup_table(const Bytes &b);

// The lookup table of coredll.dll with its four functions, then RegFlushKey
// again until it has count entries, without the closing zero.
std::vector<std::uint32_t> lookup_entries(const Bytes &b, std::size_t count)
{
    std::vector<std::uint32_t> entries;
    for (std::size_t i = 0; i < count; i++)
        entries.push_back(get32(b, lookup_table(b) + 4 * (i < 4 ? i : 0)));
    return entries;
}

// The import directory moved to the end of .data with coredll.dll's
// descriptor count times, each binding the same slots.
void import_coredll_times(Bytes &b, std::size_t count);

// A third section, after the others, with no access at all, mapping the
// bytes of .text once more; the literal that holds the address of
// u"c.dll" then points at its copy there.
void name_in_unreadable_section(Bytes &b)
{
    Layout l = layout(b);
    std::uint16_t count = get16(b, l.coff + 2);
    std::size_t header = l.section(count);
    std::uint32_t rva = get32(b, l.optional + 56);
    std::copy(b.begin() + l.section(0), b.begin() + l.section(0) + 40, b.begin() + header);
    put32(b, header + 12, rva);
    put32(b, header + 36, 0x00000040);  // initialized data; not read, write or execute
    put16(b, l.coff + 2, count + 1);
    put32(b, l.optional + 56, rva + 0x1000);
    std::uint32_t name = 0x10000 + text_rva(b, find(b, std::string("c\0.\0d\0l\0l\0", 10)));
    Bytes literal = words({name});
    auto at = std::search(b.begin(), b.end(), literal.begin(), literal.end());
    put32(b, std::size_t(at - b.begin()), name - get32(b, l.section(0) + 12) + rva);
}

struct Case {
    const char *name;
    std::function<void(Bytes &)> damage;
    // The message after "ce-run: IMAGE: ", computed from the damaged image.
    std::function<std::string(const Bytes &)> reason;
    int status;
    std::vector<std::string> options = {};
    const char *image = CE3_TO_CE7_IMAGE;
    // What the program writes to standard error before ce-run's line.
    std::function<std::string()> program_output = [] { return std::string(); };
};

std::function<std::string(const Bytes &)> says(std::string reason)
{
    return [reason](const Bytes &) { return reason; };
}

class Malformed : public testing::Test {
protected:
    void check(const Case &c)
    {
        SCOPED_TRACE(c.name);
        Bytes image = test::read_file(c.image);
        c.damage(image);
        std::string path = dir_.path("image.exe");
        test::write_file(path, image);
        std::vector<std::string> argv = {CE_RUN};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.push_back(path);
        test::Finished finished = test::run(argv);
        EXPECT_EQ(finished.signal, 0);
        EXPECT_EQ(finished.exit_status, c.status);
        EXPECT_EQ(finished.out, "");
        // Below 64 the status is the program's, and so is standard error.
        EXPECT_TRUE(finished.err == (c.status < 64 ? c.reason(image)
                                                   : c.program_output() + "ce-run: " + path +
                                                         ": " + c.reason(image) + "\n"))
            << "standard error, " << finished.err.size() << " bytes, ends: "
            << finished.err.substr(finished.err.size() - std::min<std::size_t>(finished.err.size(), 200));
    }

    test::TempDir dir_;
};

TEST_F(Malformed, HeadersThatAreNotACeArmProgram)
{
    const Case cases[] = {
        {"empty file", [](Bytes &b) { b.clear(); },
         says("not a PE image: 0 bytes is too short for a DOS header"), 65},
        {"no MZ", [](Bytes &b) { b[0] = 'X'; }, says("not a PE image: no MZ signature"), 65},
        {"PE header past the end", [](Bytes &b) { put32(b, 0x3C, 0x7FFFFFF0); },
         says("truncated: the PE header at 0x7ffffff0 lies past the end of the file"), 65},
        {"PE header at the very end", [](Bytes &b) { put32(b, 0x3C, std::uint32_t(b.size() - 8)); },
         [](const Bytes &b) {
             return "truncated: the PE header at " + hex(std::uint32_t(b.size() - 8)) +
                    " lies past the end of the file";
         }, 65},
        {"no PE signature", [](Bytes &b) { b[layout(b).pe] = 'X'; },
         says("not a PE image: no PE signature at 0x00000040"), 65},
        {"x86 machine", [](Bytes &b) { put16(b, layout(b).coff, 0x014C); },
         says("machine 0x014c is not ARM (0x01c0, 0x01c2 or 0x01c4)"), 65},
        {"not executable", [](Bytes &b) { put16(b, layout(b).coff + 18, 0x0100); },
         says("not an executable image (characteristics 0x0100)"), 65},
        {"no sections", [](Bytes &b) { put16(b, layout(b).coff + 2, 0); },
         says("0 sections: a program has from 1 to 96"), 65},
        {"too many sections", [](Bytes &b) { put16(b, layout(b).coff + 2, 0xFFFF); },
         says("65535 sections: a program has from 1 to 96"), 65},
        {"optional header too short", [](Bytes &b) { put16(b, layout(b).coff + 16, 64); },
         says("optional header of 64 bytes is too short for PE32 (at least 96)"), 65},
        {"optional header past the end", [](Bytes &b) { put16(b, layout(b).coff + 16, 0xFFFF); },
         says("truncated: the optional header lies past the end of the file"), 65},
        {"PE32+", [](Bytes &b) { put16(b, layout(b).optional, 0x020B); },
         says("optional header magic 0x020b is not PE32 (0x010b)"), 65},
        {"directories overflow the optional header",
         [](Bytes &b) { put32(b, layout(b).optional + 92, 17); },
         says("17 data directories do not fit the optional header"), 65},
        {"file alignment not a power of two", [](Bytes &b) { put32(b, layout(b).optional + 36, 0x300); },
         says("file alignment 0x00000300 is not a power of two from 0x200 to 0x10000"), 65},
        {"section alignment below a page", [](Bytes &b) { put32(b, layout(b).optional + 32, 0x200); },
         says("section alignment 0x00000200 is not a power of two of at least a 4 KiB page"), 65},
        {"image base off a page", [](Bytes &b) { put32(b, layout(b).optional + 28, 0x10200); },
         says("image base 0x00010200 is not on a page boundary"), 65},
        {"image at address 0", [](Bytes &b) { put32(b, layout(b).optional + 28, 0); },
         says("the image from 0x00000000 to 0x00003000 is outside the user space from "
              "0x00010000 to 0x70000000"), 65},
        {"image past user space", [](Bytes &b) { put32(b, layout(b).optional + 28, 0xFFFFF000); },
         says("the image from 0xfffff000 to 0x100002000 is outside the user space from "
              "0x00010000 to 0x70000000"), 65},
        {"size of image not whole sections", [](Bytes &b) { put32(b, layout(b).optional + 56, 0x2800); },
         says("size of image 0x00002800 is not a whole number of sections' alignment"), 65},
        {"headers do not cover the section table", [](Bytes &b) { put32(b, layout(b).optional + 60, 0x100); },
         says("size of headers 0x00000100 does not cover the section table (ending at "
              "0x00000188) within the file (1536 bytes)"), 65},
    };
    for (const Case &c : cases)
        check(c);
}

TEST_F(Malformed, SectionsOutsideTheFileOrTheImage)
{
    const Case cases[] = {
        {"file cut short", [](Bytes &b) { b.resize(0x300); },
         says("section 1 (.text): raw data at 0x00000200 of 0x00000200 bytes lies outside "
              "the file (768 bytes)"), 65},
        {"raw data far past the end", [](Bytes &b) { put32(b, layout(b).section(1) + 20, 0xFFFFFE00); },
         says("section 2 (.data): raw data at 0xfffffe00 of 0x00000200 bytes lies outside "
              "the file (1536 bytes)"), 65},
        {"section over the headers", [](Bytes &b) { put32(b, layout(b).section(0) + 12, 0); },
         says("section 1 (.text): address 0x00000000 overlaps the headers or the section "
              "before it"), 65},
        {"sections overlap", [](Bytes &b) { put32(b, layout(b).section(1) + 12, 0x1000); },
         says("section 2 (.data): address 0x00001000 overlaps the headers or the section "
              "before it"), 65},
        {"section off alignment", [](Bytes &b) { put32(b, layout(b).section(1) + 12, 0x2100); },
         says("section 2 (.data): address 0x00002100 is not aligned to the section alignment"), 65},
        {"section past the size of image", [](Bytes &b) { put32(b, layout(b).section(1) + 8, 0xFFFFFFFF); },
         says("section 2 (.data): ends at 0x100001fff, past the size of image 0x00003000"), 65},
        {"entry point in data", [](Bytes &b) { put32(b, layout(b).optional + 16, 0x2000); },
         says("entry point 0x00002000 is not in an executable section"), 65},
        {"entry point outside every section", [](Bytes &b) { put32(b, layout(b).optional + 16, 0xFFFFFFF0); },
         says("entry point 0xfffffff0 is not in an executable section"), 65},
        {"Thumb entry point", [](Bytes &b) { put32(b, layout(b).optional + 16, entry_rva(b) + 1); },
         [](const Bytes &b) {
             return "entry point " + hex(entry_rva(b) | 1) +
                    " is not on a word boundary, as ARM code must be";
         }, 65},
    };
    for (const Case &c : cases)
        check(c);
}

std::size_t import_directory(const Bytes &b)
{
    return text_offset(b, get32(b, layout(b).directory(1)));
}

std::size_t lookup_table(const Bytes &b)
{
    return text_offset(b, get32(b, import_directory(b)));
}

void import_coredll_times(Bytes &b, std::size_t count)
{
    Bytes descriptors;
    for (std::size_t i = 0; i < count; i++)
        descriptors.insert(descriptors.end(), b.begin() + import_directory(b),
                           b.begin() + import_directory(b) + 20);
    descriptors.resize(descriptors.size() + 20);
    put32(b, layout(b).directory(1), append(b, descriptors));
    put32(b, layout(b).directory(1) + 4, std::uint32_t(descriptors.size()));
}

TEST_F(Malformed, ImportsOutsideTheImageOrNotProvided)
{
    const Case cases[] = {
        {"import directory outside the image", [](Bytes &b) { put32(b, layout(b).directory(1), 0x100000); },
         says("import directory entry 1 at 0x00100000 is outside the image's data"), 65},
        {"import directory wraps around",
         [](Bytes &b) { put32(b, layout(b).directory(1), 0xFFFFFFF8); },
         says("import directory entry 1 at 0xfffffff8 is outside the image's data"), 65},
        {"import directory without its closing entry",
         [](Bytes &b) { std::memset(&b[import_directory(b) + 20], 0xEE, 20); },
         says("imported DLL name at 0xeeeeeeee is outside the image's data"), 65},
        {"DLL name outside the image", [](Bytes &b) { put32(b, import_directory(b) + 12, 0x5000); },
         says("imported DLL name at 0x00005000 is outside the image's data"), 65},
        {"DLL name runs off its section",
         [](Bytes &b) {
             std::size_t name = find(b, "coredll.dll");
             std::size_t end = text_offset(b, get32(b, layout(b).section(0) + 12) +
                                                  get32(b, layout(b).section(0) + 8));
             std::memset(&b[name], 'x', end - name);
         },
         [](const Bytes &b) {
             return "imported DLL name at " + hex(text_rva(b, find(b, "xxxxx"))) +
                    " runs past the end of its section";
         }, 65},
        {"import by ordinal", [](Bytes &b) { put32(b, text_offset(b, get32(b, import_directory(b))), 0x80000005); },
         says("import 1 of coredll.dll is by ordinal (5); the platform resolves imports by name"), 65},
        {"import name outside the image",
         [](Bytes &b) { put32(b, text_offset(b, get32(b, import_directory(b))) + 4, 0x7000); },
         says("import 2 of coredll.dll: hint and name at 0x00007000 are outside the image's data"), 65},
        {"IAT outside the sections", [](Bytes &b) { put32(b, import_directory(b) + 16, 0x2FFE); },
         says("import address table slot of coredll.dll!RegFlushKey at 0x00002ffe is outside the "
              "image's sections"), 65},
        {"function the platform lacks: CE 3.0 leaves its slot 0",
         [](Bytes &b) { b[find(b, "ExitThread") + 9] = 'x'; },
         says("fetch from unmapped memory at 0x00000000"), 70},
        {"DLL the platform lacks", [](Bytes &b) { b[find(b, "coredll.dll")] = 'd'; },
         says("Windows CE 3.0 refuses to create the process: doredll.dll is not on the device"),
         69},
        // Limits that hold exactly as many as they say.
        {"4096 imports from one DLL",
         [](Bytes &b) {
             std::vector<std::uint32_t> entries = lookup_entries(b, 4096);
             entries.push_back(0);
             put32(b, import_directory(b), append(b, words(entries)));
         },
         says(""), 0},
        {"4097 imports from one DLL",
         [](Bytes &b) {
             std::vector<std::uint32_t> entries = lookup_entries(b, 4097);
             entries.push_back(0);
             put32(b, import_directory(b), append(b, words(entries)));
         },
         says("more than 4096 imports from coredll.dll"), 65},
        {"256 imported DLLs", [](Bytes &b) { import_coredll_times(b, 256); }, says(""), 0},
        {"257 imported DLLs", [](Bytes &b) { import_coredll_times(b, 257); },
         says("more than 256 imported DLLs"), 65},
        // In memory the zero-filled tail of a section ends them.
        {"lookup table ending in the zero-filled tail",
         [](Bytes &b) { put32(b, import_directory(b), append(b, words(lookup_entries(b, 4)), 4)); },
         says(""), 0},
        {"import name ending in the zero-filled tail",
         [](Bytes &b) {
             std::string name("\0\0RegFlushKey", 13);
             put32(b, lookup_table(b), append(b, Bytes(name.begin(), name.end()), 4));
         },
         says(""), 0},
        {"lookup table 0 ends the walk: nothing is bound",
         [](Bytes &b) { put32(b, import_directory(b), 0); },
         [](const Bytes &b) {
             // The slot of RegFlushKey keeps the RVA of its hint and name.
             return "fetch from unmapped memory at " +
                    hex(text_rva(b, find(b, "RegFlushKey")) - 2);
         }, 70},
    };
    for (const Case &c : cases)
        check(c);
}

TEST_F(Malformed, SectionWithoutFileDataMayPointAnywhere)
{
    // Its raw offset is never read; ce-run once still took a pointer from it.
    Bytes image = test::read_file(CE3_TO_CE7_IMAGE);
    put32(image, layout(image).section(1) + 16, 0);
    put32(image, layout(image).section(1) + 20, 0x65742E00);
    test::write_file(dir_.path("bare.exe"), image);
    test::Finished finished = test::run({CE_RUN, dir_.path("bare.exe")});
    EXPECT_EQ(finished.exit_status, 0);
    EXPECT_EQ(finished.err, "");
}

TEST_F(Malformed, DllNamesMatchAsTheLoaderMatchesThem)
{
    // Whatever their case, with ".dll" or without it.
    for (const char *name : {"COREDLL.DLL", "coredll\0dll", "CoreDll\0\0\0\0"}) {
        SCOPED_TRACE(name);
        Bytes image = test::read_file(CE3_TO_CE7_IMAGE);
        std::memcpy(&image[find(image, "coredll.dll")], name, 11);
        test::write_file(dir_.path("renamed.exe"), image);
        test::Finished finished = test::run({CE_RUN, dir_.path("renamed.exe")});
        EXPECT_EQ(finished.exit_status, 0);
        EXPECT_EQ(finished.err, "");
    }
}

TEST_F(Malformed, ProgramsThatFault)
{
    auto at_entry = [](const std::string &what) {
        return [what](const Bytes &b) { return what + " " + hex(entry_address(b)); };
    };
    auto by_entry = [](const std::string &what) {
        return [what](const Bytes &b) { return what + " by the instruction at " + hex(entry_address(b)); };
    };
    const Case cases[] = {
        {"undefined instruction", [](Bytes &b) { patch_entry(b, {0xE7F000F0}); },
         at_entry("undefined instruction at"), 70},
        {"bx, which StrongARM lacks", [](Bytes &b) { patch_entry(b, {0xE12FFF1E}); },
         at_entry("undefined instruction at"), 70},
        {"blx, from ARMv5", [](Bytes &b) { patch_entry(b, {0xE12FFF3E}); },
         at_entry("undefined instruction at"), 70},
        {"clz, from ARMv5", [](Bytes &b) { patch_entry(b, {0xE16F0F11}); },
         at_entry("undefined instruction at"), 70},
        {"software interrupt", [](Bytes &b) { patch_entry(b, {0xEF000000}); },
         [](const Bytes &b) {
             return "software interrupt at " + hex(entry_address(b)) +
                    ", which the emulated platform does not serve";
         }, 70},
        {"write to the read-only headers", [](Bytes &b) { patch_entry(b, {0xE3A00801, 0xE5800000}); },
         [](const Bytes &b) {
             return "write to read-only memory at 0x00010000 by the instruction at " +
                    hex(entry_address(b) + 4);
         }, 70},
        {"read from address 0", [](Bytes &b) { patch_entry(b, {0xE5910000}); },
         by_entry("read from unmapped memory at 0x00000000"), 70},
        {"jump to address 0", [](Bytes &b) { patch_entry(b, {0xE3A0F000}); },
         says("fetch from unmapped memory at 0x00000000"), 70},
        {"jump into data", [](Bytes &b) { patch_entry(b, {0xE3A0FA12}); },
         says("fetch from non-executable memory at 0x00012000"), 70},
        {"stack overflow", [](Bytes &b) { patch_entry(b, {0xE52D0004, 0xEAFFFFFD}); },
         by_entry("write to unmapped memory at 0x7feefffc"), 70},
        // A program runs in user mode, where CP15 is privileged: the
        // control register, and the SA-1110's wait for interrupt.
        {"mrc p15, 0, r0, c1, c0, 0", [](Bytes &b) { patch_entry(b, {0xEE110F10}); },
         at_entry("undefined instruction at"), 70},
        {"mcr p15, 0, r0, c15, c8, 2", [](Bytes &b) { patch_entry(b, {0xEE0F0F58}); },
         at_entry("undefined instruction at"), 70},
        // Hints: on ARMv7 yield goes on and wfi waits; on ARMv4 the
        // encoding is an MSR that writes nothing.
        {"wfi on the Cortex-A8", [](Bytes &b) { patch_entry(b, {0xE320F003}); },
         [](const Bytes &b) {
             return "wfi at " + hex(entry_address(b)) +
                    ": the program waits for an interrupt, and the emulated device raises none";
         }, 70, {"--cpu", "cortex-a8"}},
        {"wfi on the SA-1110", [](Bytes &b) { patch_entry(b, {0xE320F003, 0xE3A00007, 0xE1A0F00E}); },
         says(""), 7},
        {"Thumb-2 yield; movs r0, #7; bx lr", [](Bytes &b) { patch_entry(b, {0x2007BF10, 0xBF004770}); },
         says(""), 7, {}, CE8_IMAGE},
        {"Thumb-2 yield.w; movs r0, #7; bx lr",
         [](Bytes &b) { patch_entry(b, {0x8001F3AF, 0x47702007}); }, says(""), 7, {}, CE8_IMAGE},
        {"Thumb-2 wfe", [](Bytes &b) { patch_entry(b, {0xBF20BF20}); },
         [](const Bytes &b) {
             return "wfe at " + hex(entry_address(b)) +
                    ": the program waits for an event, and the emulated device signals none";
         }, 70, {}, CE8_IMAGE},
        // A hint whose condition fails does nothing; in an IT block the
        // others go on, and a wait that executes still waits.
        {"cmp r0, r0; wfene; mov r0, #7; mov pc, lr on the Cortex-A8",
         [](Bytes &b) { patch_entry(b, {0xE1500000, 0x1320F002, 0xE3A00007, 0xE1A0F00E}); },
         says(""), 7, {"--cpu", "cortex-a8"}},
        {"Thumb-2 movs r0, #7; cmp r0, r0; ite eq; yieldeq; movne r0, #5; bx lr",
         [](Bytes &b) { patch_entry(b, {0x42802007, 0xBF10BF0C, 0x47702005}); },
         says(""), 7, {}, CE8_IMAGE},
        {"Thumb-2 movs r0, #7; cmp r0, r0; it ne; wfene; bx lr",
         [](Bytes &b) { patch_entry(b, {0x42802007, 0xBF20BF18, 0xBF004770}); },
         says(""), 7, {}, CE8_IMAGE},
        {"Thumb-2 cmp r0, r0; it eq; wfeeq",
         [](Bytes &b) { patch_entry(b, {0xBF084280, 0xBF00BF20}); },
         [](const Bytes &b) {
             return "wfe at " + hex(entry_address(b) + 4) +
                    ": the program waits for an event, and the emulated device signals none";
         }, 70, {}, CE8_IMAGE},
        // The platform reads its arguments as the program could.
        {"c.dll's name in a section without access", name_in_unreadable_section,
         [](const Bytes &b) {
             Layout l = layout(b);
             return "LoadLibraryW's name read from unreadable memory at " +
                    hex(0x10000 + text_rva(b, find(b, std::string("c\0.\0d\0l\0l\0", 10))) -
                        get32(b, l.section(0) + 12) + get32(b, l.optional + 56) - 0x1000);
         }, 70, {"--flush", "HKEY_CLASSES_ROOT=5"}},
        // Its text is the program's: escaped, it stays one line.
        {"perror's prefix with an escape sequence and a newline",
         [](Bytes &b) { std::memcpy(&b[find(b, "stowkey")], "s\x1b[2J\ny", 7); },
         says("s\\x1b[2J\\x0ay: Input/output error\n"), 1, {"--flush", "HKEY_CLASSES_ROOT=5"}},
        {"endless loop", [](Bytes &b) { patch_entry(b, {0xEAFFFFFE}); },
         says("instruction limit of 1000 reached"), 71, {"--max-instructions", "1000"}},
        {"status past 255", [](Bytes &b) { patch_entry(b, {0xE3E00000, 0xE1A0F00E}); },
         says("exit status 4294967295 is outside 0..255 and cannot be passed on"), 72},
        // LoadLibraryW in a loop, on a name of 230 units each traced as
        // \u00e9: the trace ends the run at its limit.
        {"a trace that would grow without end",
         [](Bytes &b) {
             patch_entry(b, {0xE3A04A12, 0xE2844020, 0xE1A00004, 0xE3A0CA12, 0xE1A0E00F,
                             0xE59CF008, 0xEAFFFFFA});
             std::size_t data = get32(b, layout(b).section(1) + 20);
             put32(b, layout(b).section(1) + 8, 0x200);
             for (std::size_t at = data + 0x20; at < data + 0x1EC; at += 2)
                 put16(b, at, 0x00E9);
         },
         says("trace " + dir_.path("trace") + " reached its limit of 64 MiB; the run was ended there"),
         73, {"--trace", dir_.path("trace")}},
        // perror in a loop, with a prefix of 400 characters: standard
        // error ends the run at the same limit.
        {"standard error that would grow without end",
         [](Bytes &b) {
             patch_entry(b, {0xE3A04A12, 0xE2840020, 0xE1A0E00F, 0xE594F008, 0xE2841040,
                             0xE1A0E00F, 0xE594F00C, 0xE1A05000, 0xE2840060, 0xE1A0E00F,
                             0xE1A0F005, 0xEAFFFFFB});
             std::size_t data = get32(b, layout(b).section(1) + 20);
             put32(b, layout(b).section(1) + 8, 0x200);
             for (const char *name : {"c.dll", "perror"})
                 for (std::size_t i = 0; name[i] != 0; i++)
                     put16(b, data + (name[0] == 'c' ? 0x20 : 0x40) + 2 * i, std::uint8_t(name[i]));
             std::fill(b.begin() + long(data + 0x60), b.begin() + long(data + 0x1F0), 'a');
         },
         says("the program's standard error reached its limit of 64 MiB; the run was ended there"),
         74, {}, CE3_TO_CE7_IMAGE, [] {
             std::string line = std::string(400, 'a') + ": No error\n";
             std::string all;
             for (std::size_t n = (std::size_t(64) << 20) / line.size(); n > 0; n--)
                 all += line;
             return all;
         }},
    };
    for (const Case &c : cases)
        check(c);
}

TEST_F(Malformed, CabinetsNoInstallerTakes)
{
    const std::vector<std::string> wm6 = {"--platform", "windowsmobile6", "--install"};
    auto refused = [](const std::string &platform, const std::string &why) {
        return says("the " + platform + " installer refuses it: " + why);
    };
    const Case cases[] = {
        {"empty", [](Bytes &b) { b.clear(); },
         refused("Windows Mobile 6", "truncated: the cabinet ends before its data"), 65, wm6, CAB},
        {"an image", [](Bytes &b) { b = test::read_file(CE3_TO_CE7_IMAGE); },
         refused("Windows Mobile 6", "not a cabinet: no MSCF signature"), 65, wm6, CAB},
        {"cut after 1000 bytes", [](Bytes &b) { b.resize(1000); },
         refused("Windows Mobile 6",
                 "cannot extract stowkey.000: truncated: the cabinet ends before its data"),
         65, wm6, CAB},
        {"a data byte changed", [](Bytes &b) { b.at(2000) ^= 0xFF; },
         refused("Windows Mobile 6",
                 "cannot extract stowkey.000: a data block whose checksum does not match"),
         65, wm6, CAB},
        {"two folders, where there is one", [](Bytes &b) { b.at(26) = 2; },
         refused("Windows Mobile 6", "a malformed cabinet"), 65, wm6, CAB},
        {"a header that says 1 MiB",
         [](Bytes &b) { put32(b, 8, 0x100000); },
         [](const Bytes &b) {
             return "the Pocket PC 2003 installer refuses it: the cabinet says it is 1048576 "
                    "bytes, the file has " + std::to_string(b.size());
         },
         65, {"--platform", "pocketpc2003", "--install"}, CAB},
        // The header's checks come before anything is extracted.
        {"signed, and a data byte changed",
         [](Bytes &b) {
             b.at(2000) ^= 0xFF;
             b.resize(b.size() + 8);
         },
         [](const Bytes &b) {
             return "the Pocket PC 2003 installer refuses it: the cabinet says it is " +
                    std::to_string(b.size() - 8) + " bytes, the file has " +
                    std::to_string(b.size()) + " (a signed CAB)";
         },
         65, {"--platform", "pocketpc2003", "--install"}, CAB},
        // Where that check is unsourced, the lenient reading goes on, and
        // the device's refusal is what it then meets.
        {"signed, and a data byte changed, where the length check is unsourced",
         [](Bytes &b) {
             b.at(2000) ^= 0xFF;
             b.resize(b.size() + 8);
         },
         refused("Windows CE 4.2",
                 "cannot extract stowkey.000: a data block whose checksum does not match"),
         65, {"--platform", "ce4.2", "--install"}, CAB},
        // Files listed backwards through one folder of 8 MiB: each would
        // have the folder decompressed again from its start, 512 GiB in
        // all; ce-run decompresses it once.
        {"65535 files at decreasing offsets of one folder",
         [](Bytes &b) {
             std::vector<CabFile> files;
             for (std::uint32_t i = 0; i < 65535; i++)
                 files.push_back({"f" + std::to_string(i), (8u << 20) - 1 - i, 1});
             b = cabinet(Bytes(8u << 20, 'x'), files);
         },
         refused("Windows Mobile 6", "the cabinet holds neither _setup.xml nor a .000 setup file"),
         65, wm6, CAB},
        // A per-folder reserve, as CabWiz writes most cabinets with a
        // reserve: stowkey's CAB packed so installs.
        {"a per-folder reserve of 48 bytes",
         [](Bytes &b) {
             const Bytes parts[] = {test::read_file(DEVICE_DIR "/ce3-to-ce7/cab/stowkey.000"),
                                    test::read_file(DEVICE_DIR "/ce3-to-ce7/cab/_setup.xml"),
                                    test::read_file(CE3_TO_CE7_IMAGE)};
             const char *names[] = {"stowkey.000", "_setup.xml", "stowkey.001"};
             Bytes folder;
             std::vector<CabFile> files;
             for (int i = 0; i < 3; i++) {
                 files.push_back({names[i], std::uint32_t(folder.size()), std::uint32_t(parts[i].size())});
                 folder.insert(folder.end(), parts[i].begin(), parts[i].end());
             }
             b = cabinet(folder, files, 48);
         },
         says(""), 0, wm6, CAB},
        {"files past ce-run's 64 MiB",
         [](Bytes &b) { b = cabinet(Bytes(16, 'x'), {{"a.000", 0, 16}, {"b", 0xFFFFF0, 0x4000000}}); },
         says("ce-run cannot tell what the Windows Mobile 6 installer does with it: its files hold "
              "more than 64 MiB, ce-run's limit"),
         75, wm6, CAB},
    };
    for (const Case &c : cases)
        check(c);
}

TEST_F(Malformed, ReturnFromTheEntryPointEndsTheRun)
{
    Bytes image = test::read_file(CE3_TO_CE7_IMAGE);
    patch_entry(image, {0xE3A00007, 0xE1A0F00E});  // mov r0, #7; mov pc, lr
    test::write_file(dir_.path("seven.exe"), image);
    test::Finished finished = test::run({CE_RUN, dir_.path("seven.exe")});
    EXPECT_EQ(finished.exit_status, 7);
    EXPECT_EQ(finished.err, "");
}

TEST_F(Malformed, HandlesThatAreNotRootKeysFailToFlush)
{
    // stowkey with its first key, HKEY_CLASSES_ROOT, turned into handle 0.
    Bytes image = test::read_file(CE3_TO_CE7_IMAGE);
    const Bytes load_classes_root = {0x02, 0x01, 0xA0, 0xE3};  // mov r0, #0x80000000
    auto at = std::search(image.begin(), image.end(), load_classes_root.begin(),
                          load_classes_root.end());
    ASSERT_NE(at, image.end());
    put32(image, std::size_t(at - image.begin()), 0xE3A00000);  // mov r0, #0
    test::write_file(dir_.path("zero.exe"), image);

    test::Finished finished =
        test::run({CE_RUN, "--trace", dir_.path("trace"), dir_.path("zero.exe")});
    EXPECT_EQ(finished.exit_status, 1);
    EXPECT_EQ(finished.err, "stowkey: Input/output error\n");
    EXPECT_EQ(test::read_text(dir_.path("trace")),
              "RegFlushKey(0x00000000) = 6\nLoadLibraryW(\"c.dll\") = 0x7ffd1000\n"
              "GetProcAddressW(0x7ffd1000, \"perror\") = 0x7fff0010\nperror(\"stowkey\")\n"
              "ExitThread(1)\n");
}

TEST(Usage, BadUsageIsRefused)
{
    test::TempDir dir;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;      // the "ce-run: " line, if any
        std::string out = "";     // what standard output starts with
    };
    const std::string image = CE3_TO_CE7_IMAGE;
    const std::string fifo = dir.path("fifo.exe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string same_image = image.substr(0, image.rfind('/')) + "/./stowkey.exe";
    // The platforms as --platforms lists them, a name a line.
    std::string platforms;
    std::string listing = test::run({CE_RUN, "--platforms"}).out;
    for (std::size_t at = 0; at < listing.size(); at = listing.find('\n', at) + 1)
        platforms += (platforms.empty() ? "" : ", ") + listing.substr(at, listing.find(' ', at) - at);
    ASSERT_EQ(platforms.substr(0, 14), "pocketpc2000, ");
    const Case cases[] = {
        {{"--version"}, 0, "", "ce-run (stowkey) " STOWKEY_VERSION "\n"},
        {{"--help"}, 0, "", "usage: ce-run [OPTION]... [--] IMAGE [ARGUMENT]...\n"},
        {{}, 64, "no IMAGE given (see ce-run --help)"},
        {{"--stats"}, 64, "no IMAGE given (see ce-run --help)"},
        {{"--frobnicate", image}, 64, "unknown option --frobnicate (see ce-run --help)"},
        {{"--trace"}, 64, "--trace needs a value"},
        {{"--flush", "HKEY_FOO=1", image}, 64,
         "--flush: 'HKEY_FOO=1' is not KEY=CODE with KEY one of HKEY_CLASSES_ROOT, "
         "HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS"},
        {{"--flush", "HKEY_USERS=2147483648", image}, 64,
         "--flush: '2147483648' for HKEY_USERS is not a 32-bit result code (decimal from "
         "-2147483648 to 2147483647, or hexadecimal from 0x0 to 0xFFFFFFFF)"},
        {{"--os", "9.0", image}, 64, "--os: '9.0' is not one of 3.0, 4.2, 5.0, 6.0, 7.0, 8.0"},
        {{"--os", "4.20", image}, 64, "--os: '4.20' is not one of 3.0, 4.2, 5.0, 6.0, 7.0, 8.0"},
        {{"--cpu", "arm920t", image}, 64, "--cpu: 'arm920t' is not sa1110, pxa270 or cortex-a8"},
        {{"--os", "8.0", "--cpu", "sa1110", image}, 64,
         "--cpu: Windows CE 8.0 does not run on the SA-1110; it needs ARMv7 (cortex-a8)"},
        {{"--os", "8.0", "--cpu", "pxa270", image}, 64,
         "--cpu: Windows CE 8.0 does not run on the PXA270; it needs ARMv7 (cortex-a8)"},
        {{"--missing", "foo.dll", image}, 64,
         "--missing: 'foo.dll' is not a DLL of the emulated platform (coredll.dll, c.dll)"},
        {{"--missing", "c.dll!printf", image}, 64,
         "--missing: 'printf' is not a function of c.dll in the emulated platform"},
        {{"--missing", "coredll!perror", image}, 64,
         "--missing: 'perror' is not a function of coredll.dll in the emulated platform"},
        {{"--missing"}, 64, "--missing needs a value"},
        {{"--os=9.0", image}, 64, "--os: '9.0' is not one of 3.0, 4.2, 5.0, 6.0, 7.0, 8.0"},
        {{"--platform", "pocketpc2003", "--os", "4.2", image}, 64,
         "--platform and --os both name the device: give one"},
        {{"--platform=palm", image}, 64, "--platform: 'palm' is not one of " + platforms},
        {{"--install", image}, 64, "--install needs --platform: the installer is the platform's"},
        {{"--platform", "ce6.0", "--device-file", "Windows\\x.exe=" + image, "--install", image},
         64, "--device-file: 'Windows\\x.exe=" + image +
                 "' is not PATH=FILE with PATH a full device path (as \\Windows\\stowkey.exe)"},
        {{"--platform", "ce6.0", "--device-file", "\\Windows\\x.exe=" + image, image}, 64,
         "--device-file places files for --install"},
        {{"--platform", "ce6.0", "--install", dir.path("missing.cab")}, 66,
         "cannot read " + dir.path("missing.cab") + ": No such file or directory"},
        {{"--max-instructions", "0", image}, 64,
         "--max-instructions: '0' is not a count from 1 to 999999999999"},
        {{"--max-instructions", "-5", image}, 64,
         "--max-instructions: '-5' is not a count from 1 to 999999999999"},
        {{image, std::string(40000, 'a')}, 64,
         "the command line is 40000 UTF-16 units long; at most 32767 fit"},
        {{dir.path("missing.exe")}, 66,
         "cannot read " + dir.path("missing.exe") + ": No such file or directory"},
        {{dir.path("")}, 66, "cannot read " + dir.path("") + ": not a regular file"},
        {{fifo}, 66, "cannot read " + fifo + ": not a regular file"},
        {{"/dev/null"}, 66, "cannot read /dev/null: not a regular file"},
        {{"--trace", "", image}, 64, "--trace: the file name is empty"},
        {{"--trace", same_image, image}, 64,
         "--trace: " + same_image + " is the image itself, which the trace would overwrite"},
        {{"--trace", dir.path("no/such/dir/trace"), image}, 73,
         "cannot write trace " + dir.path("no/such/dir/trace") + ": No such file or directory"},
        {{"--platform", "ce6.0", "--trace", image, "--device-file", "\\Windows\\x.exe=" + same_image,
          "--install", CAB},
         64, "--trace: " + image + " is the --device-file of \\Windows\\x.exe itself, which the "
             "trace would overwrite"},
        {{"--platform", "ce6.0", "--device-file", "\\Windows\\..\\x.exe=" + image, "--install", CAB},
         64, "--device-file: '\\Windows\\..\\x.exe=" + image +
                 "' is not PATH=FILE with PATH a full device path (as \\Windows\\stowkey.exe)"},
        {{"--install-only", image}, 64, "--install-only needs --install"},
        {{"--run", "\\Windows\\x.exe", image}, 64, "--run names a program --install installs"},
        {{"--platform", "ce6.0", "--run", "Windows\\x.exe", "--install", CAB}, 64,
         "--run: 'Windows\\x.exe' is not a full device path (as \\Program Files\\App\\App.exe)"},
        {{"--platform", "ce6.0", "--run", "\\Windows\\x.exe", "--install-only", "--install", CAB},
         64, "--run runs a program, and --install-only and --compare-setup-files run none"},
        {{"--platform", "ce6.0", "--setup-dll", "maybe", "--install", CAB}, 64,
         "--setup-dll: 'maybe' is not continue or cancel"},
        {{"--setup-dll", "continue", image}, 64, "--setup-dll answers for --install"},
        {{"--compare-setup-files", image}, 64, "--compare-setup-files needs --install"},
        {{"--platform", "ce6.0", "--device-value", "HKXX\\Key\\Name=1", "--install", CAB}, 64,
         "--device-value: 'HKXX\\Key\\Name=1' is not ROOT\\KEY\\NAME=TEXT with ROOT one of HKCR, "
         "HKCU, HKLM, HKU (or their full names)"},
        {{"--device-value", "HKLM\\Key\\Name=1", image}, 64,
         "--device-value places values for --install"},
        {{"--platform", "windowsmobile6", "--security", "strict", image}, 64,
         "--security: 'strict' is not one of off, one-tier-prompt, two-tier-prompt, "
         "third-party-one-tier, third-party-two-tier, locked"},
        {{"--platform", "pocketpc2003", "--security", "locked", image}, 64,
         "--security: Pocket PC 2003 has no security configurations: give --platform "
         "windowsmobile5 or windowsmobile6"},
        {{"--os", "5.0", "--security", "locked", image}, 64,
         "--security: a device named by --os has no security configurations: give --platform "
         "windowsmobile5 or windowsmobile6"},
        {{"--platform", "windowsmobile6", "--answer", "yes", image}, 64,
         "--store, --policy, --answer and --device-date are the security model's: give --security"},
        {{"--platform", "windowsmobile6", "--policy", "4101=0", image}, 64,
         "--store, --policy, --answer and --device-date are the security model's: give --security"},
        {{"--platform", "windowsmobile6", "--security", "locked", "--policy", "4101", image}, 64,
         "--policy: '4101' is not ID=VALUE, both decimal"},
        {{"--platform", "windowsmobile6", "--security", "locked", "--policy", "4101=0x10", image}, 64,
         "--policy: '4101=0x10' is not ID=VALUE, both decimal"},
        {{"--platform", "windowsmobile6", "--security", "locked", "--policy", "4097=2", image}, 64,
         "--policy: ce-run models the policies 4101, 4102, 4119, 4120, 4122, 4123, not 4097"},
        {{"--platform", "windowsmobile6", "--security", "locked", "--store", "spc=x.pem,role=-1",
          image},
         64, "--store: the role in 'spc=x.pem,role=-1' is not a decimal role mask"},
        {{"--platform", "windowsmobile6", "--compare-setup-files", "--install", CAB, "--install", CAB},
         64, "--compare-setup-files compares the setup files of one CAB: give one --install"},
        {{"--platform", "windowsmobile6", "--security", "locked", "--device-date", "2007-13-01", image},
         64, "--device-date: '2007-13-01' is not a date YYYY-MM-DD"},
        {{"--platform", "windowsmobile6", "--security", "locked", "--answer", "maybe", image}, 64,
         "--answer: 'maybe' is not yes or no"},
        {{"--platform", "windowsmobile6", "--security", "locked", "--store", "root=" + image, image},
         64, "--store: 'root=" + image + "' is not spc=FILE[,role=MASK], privileged=FILE or unprivileged=FILE"},
        {{"--platform", "windowsmobile6", "--security", "locked", "--store",
          "spc=" + dir.path("missing.pem"), image},
         66, "--store: cannot read " + dir.path("missing.pem") + ": No such file or directory"},
        {{"--platform", "windowsmobile6", "--security", "locked", "--store", "privileged=" + image,
          image},
         66, "--store: " + image + " holds no PEM certificate"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args).substr(0, 100));
        std::vector<std::string> argv = {CE_RUN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        test::Finished finished = test::run(argv);
        EXPECT_EQ(finished.exit_status, c.status);
        EXPECT_EQ(finished.err, c.message.empty() ? "" : "ce-run: " + c.message + "\n");
        EXPECT_EQ(finished.out.substr(0, c.out.size()), c.out);
        EXPECT_EQ(finished.out.empty(), c.out.empty());
    }
}

TEST(Usage, TheDocsShowTheUsageThatHelpPrints)
{
    // The usage block of docs/ce-run.md: the fenced block that starts with "usage: ".
    std::vector<std::uint8_t> bytes = test::read_file(CE_RUN_DOC);
    std::string doc(bytes.begin(), bytes.end());
    std::size_t start = doc.find("```\nusage: ce-run ");
    ASSERT_NE(start, std::string::npos) << "no usage block in " CE_RUN_DOC;
    start += 4;
    std::size_t end = doc.find("```\n", start);
    ASSERT_NE(end, std::string::npos);
    test::Finished finished = test::run({CE_RUN, "--help"});
    EXPECT_EQ(finished.exit_status, 0);
    EXPECT_EQ(finished.out, doc.substr(start, end - start));
}

TEST(Usage, TheDocsListThePlatformsThatCeRunHas)
{
    // docs/ce-run.md's table of platforms: the rows after its header, up
    // to the blank line; each must be a line of --platforms, in order.
    std::vector<std::uint8_t> bytes = test::read_file(CE_RUN_DOC);
    std::string doc(bytes.begin(), bytes.end());
    std::size_t start = doc.find("| NAME | platform |");
    ASSERT_NE(start, std::string::npos) << "no table of platforms in " CE_RUN_DOC;
    start = doc.find('\n', doc.find('\n', start) + 1) + 1;
    std::string table = doc.substr(start, doc.find("\n\n", start) + 1 - start);

    auto field = [](const std::string &line, std::size_t at, std::size_t width) {
        std::string text = line.substr(at, width);
        return text.substr(0, text.find_last_not_of(' ') + 1);
    };
    std::string rows;
    std::string listing = test::run({CE_RUN, "--platforms"}).out;
    for (std::size_t at = 0; at < listing.size(); at = listing.find('\n', at) + 1) {
        std::string line = listing.substr(at, listing.find('\n', at) - at);
        rows += "| `" + field(line, 0, 15) + "` | " + line.substr(61) + " | " + field(line, 16, 5) +
                " | " + field(line, 22, 4) + " | " + field(line, 27, 22) + " | " +
                field(line, 50, 10) + " |\n";
    }
    EXPECT_EQ(table, rows);
}

TEST(Usage, TheContributorsPageNamesFilesThatExist)
{
    // The files "Adding a kind" and "Adding a platform" tell a contributor to touch.
    std::vector<std::uint8_t> bytes = test::read_file(SOURCE_DIR "/docs/contributing.md");
    std::string page(bytes.begin(), bytes.end());
    std::size_t start = page.find("## Adding a kind of image"), end = page.find("## Layout");
    ASSERT_NE(start, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    std::string lists = page.substr(start, end - start);
    int named = 0;
    for (std::size_t at = lists.find("- `"); at != std::string::npos; at = lists.find("- `", at + 1)) {
        std::string path = lists.substr(at + 3, lists.find('`', at + 3) - at - 3);
        SCOPED_TRACE(path);
        EXPECT_NE(path.find('/'), std::string::npos);
        EXPECT_TRUE(access((SOURCE_DIR "/" + path).c_str(), F_OK) == 0) << path << " does not exist";
        named++;
    }
    EXPECT_GE(named, 8);
}

TEST(Usage, StatsAndTheLimitCountTheSameInstructions)
{
    test::Finished finished = test::run({CE_RUN, "--stats", CE3_TO_CE7_IMAGE});
    EXPECT_EQ(finished.exit_status, 0);
    EXPECT_THAT(finished.err, testing::MatchesRegex(
                                  "ce-run: stats: instructions=[1-9][0-9]* stack_bytes=[1-9][0-9]*\n"));
    std::string count = finished.err.substr(finished.err.find('=') + 1);
    count = count.substr(0, count.find(' '));
    EXPECT_EQ(test::run({CE_RUN, "--max-instructions", count, CE3_TO_CE7_IMAGE}).exit_status, 0);
    std::string fewer = std::to_string(std::stoi(count) - 1);
    finished = test::run({CE_RUN, "--max-instructions", fewer, CE3_TO_CE7_IMAGE});
    EXPECT_EQ(finished.exit_status, 71);
    EXPECT_EQ(finished.err, "ce-run: " CE3_TO_CE7_IMAGE ": instruction limit of " + fewer + " reached\n");
}

}  // namespace
