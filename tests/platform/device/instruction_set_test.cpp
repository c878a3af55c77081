// The CE 3.0 to 7 image's code uses ARMv4 in ARM state and nothing else:
// no Thumb, no bx or blx, no instruction from ARMv5 on. The CE 8 image's
// code is Thumb-2 for ARMv7-A and nothing else: no ARM-state code, no VFP
// or NEON. Checked on the disassembly of the linked ELF files, whose .text
// is byte for byte the image's.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "kinds.h"
#include "pe_image.h"
#include "process.h"

namespace {

struct Instruction {
    std::string address;
    int size;
    std::string mnemonic;
};

// What an ARMv4 processor in ARM state executes, as llvm-objdump names it
// (with its aliases, such as push for stmdb sp!), before condition codes.
const std::regex armv4_mnemonic(
    "(and|eor|sub|rsb|add|adc|sbc|rsc|orr|mov|bic|mvn|lsl|lsr|asr|ror|rrx|"
    "mul|mla|umull|umlal|smull|smlal)s?"
    "(eq|ne|hs|cs|lo|cc|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)?"
    "|(tst|teq|cmp|cmn|b|bl|adr|ldr|str|ldrb|strb|ldrh|strh|ldrsb|ldrsh|ldrt|strt|"
    "ldrbt|strbt|ldm|ldmib|ldmda|ldmdb|stm|stmib|stmda|stmdb|push|pop|swp|swpb|"
    "mrs|msr|svc|cdp|ldc|ldcl|stc|stcl|mcr|mrc)"
    "(eq|ne|hs|cs|lo|cc|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)?");

// Empty when the instruction runs on ARMv4 in ARM state, else why not.
std::string armv4_violation(const Instruction &instruction)
{
    if (instruction.size != 4)
        return "a " + std::to_string(instruction.size) + "-byte (Thumb) instruction";
    if (!std::regex_match(instruction.mnemonic, armv4_mnemonic))
        return "'" + instruction.mnemonic + "' is not an ARMv4 instruction";
    return "";
}

// Empty when the instruction is Thumb-2 without floating point or SIMD,
// else why not. Every VFP and NEON instruction is named v..., and the
// coprocessor instructions are how VFP was reached before that.
std::string thumb2_violation(const Instruction &instruction)
{
    static const std::regex floating_point("v.*|(mcr|mrc|cdp|ldc|stc|mcrr|mrrc)2?l?");
    if (instruction.size != 2 && instruction.size != 4)
        return "a " + std::to_string(instruction.size) + "-byte instruction";
    if (std::regex_match(instruction.mnemonic, floating_point))
        return "'" + instruction.mnemonic + "' is a floating-point, SIMD or coprocessor instruction";
    return "";
}

std::string output_of(const std::string &command)
{
    std::string text;
    std::FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("cannot run " + command);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, n);
    if (pclose(pipe) != 0)
        throw std::runtime_error(command + " failed");
    return text;
}

std::string elf_of(const std::string &image)
{
    return image.substr(0, image.size() - 4) + ".elf";
}

// Reads an instruction off a line of llvm-objdump -d; false for any other
// line, data (.word and the like) included. The bytes are printed one by
// one ("00 00 00 eb") up to llvm-objdump 14, and as halfwords or words
// ("f000 f802", "eb000000") from 15 on: either way two digits make a byte.
bool read_instruction(const std::string &row, Instruction &instruction)
{
    static const std::regex line(R"(^\s*([0-9a-f]+):\s((?:[0-9a-f]{2,8} )+)\s*\t(\S+))");
    std::smatch m;
    if (!std::regex_search(row, m, line) || m[3].str()[0] == '.')
        return false;
    const std::string bytes = m[2];
    instruction = {m[1], int(std::count_if(bytes.begin(), bytes.end(), [](char c) { return c != ' '; })) / 2,
                   m[3]};
    return true;
}

// The code of the functions in .text. Data among them (literal pools) is
// marked by mapping symbols and printed as .word and the like, which is
// left out; data after them (strings, import tables) is outside every
// function.
std::vector<Instruction> disassemble(const std::string &elf)
{
    static const std::regex function(R"(^([0-9a-f]+)\s.*\sF\s+\.text\s+([0-9a-f]+)\s)");
    std::vector<std::pair<unsigned long, unsigned long>> functions;
    std::istringstream symbols(output_of(std::string(LLVM_OBJDUMP) + " -t '" + elf + "'"));
    for (std::string row; std::getline(symbols, row);) {
        std::smatch m;
        if (std::regex_search(row, m, function)) {
            unsigned long start = std::stoul(m[1], nullptr, 16) & ~1ul;
            functions.push_back({start, start + std::stoul(m[2], nullptr, 16)});
        }
    }
    std::vector<Instruction> code;
    std::istringstream text(output_of(std::string(LLVM_OBJDUMP) + " -d -j .text '" + elf + "'"));
    for (std::string row; std::getline(text, row);) {
        Instruction instruction;
        if (!read_instruction(row, instruction))
            continue;
        unsigned long address = std::stoul(instruction.address, nullptr, 16);
        for (const auto &[start, end] : functions) {
            if (address >= start && address < end)
                code.push_back(instruction);
        }
    }
    return code;
}

TEST(DisassemblyLine, ReadsTheBytesOfEveryLlvmObjdumpFrom14On)
{
    struct Case {
        const char *line;
        bool instruction;
        int size;
        const char *mnemonic;
    };
    const Case cases[] = {
        {"   11000: 00 00 00 eb  \tbl\t0x11008 <main>", true, 4, "bl"},           // 14, ARM
        {"   11000: eb000000     \tbl\t0x11008 <main>", true, 4, "bl"},           // 15+, ARM
        {"   11000: 00 f0 02 f8  \tbl\t0x11008 <main>", true, 4, "bl"},           // 14, Thumb-2
        {"   11000: f000 f802    \tbl\t0x11008 <main>", true, 4, "bl"},           // 15+, Thumb-2
        {"   11008: 10 b5        \tpush\t{r4, lr}", true, 2, "push"},             // 14, Thumb
        {"   11008: b510         \tpush\t{r4, lr}", true, 2, "push"},             // 15+, Thumb
        {"   1105c: ec 10 01 00  \t.word\t0x000110ec", false, 0, ""},             // data, 15+
        {"   110a4:\t02 11 01 00\t.word", false, 0, ""},                         // data, 14
        {"00011008 <main>:", false, 0, ""},
        {"Disassembly of section .text:", false, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        Instruction instruction{"", 0, ""};
        ASSERT_EQ(read_instruction(c.line, instruction), c.instruction);
        if (c.instruction) {
            EXPECT_EQ(instruction.size, c.size);
            EXPECT_EQ(instruction.mnemonic, c.mnemonic);
        }
    }
}

TEST(Armv4Check, TellsArmv4FromLaterAndThumbCode)
{
    struct Case {
        const char *mnemonic;
        int size;
        bool armv4;
    };
    const Case cases[] = {
        {"push", 4, true},   {"pop", 4, true},     {"bl", 4, true},     {"bne", 4, true},
        {"bls", 4, true},    {"ldr", 4, true},     {"ldrsh", 4, true},  {"movseq", 4, true},
        {"umull", 4, true},  {"ldmib", 4, true},   {"teq", 4, true},    {"svc", 4, true},
        {"bx", 4, false},    {"bxeq", 4, false},   {"blx", 4, false},   {"clz", 4, false},
        {"ldrd", 4, false},  {"strd", 4, false},   {"pld", 4, false},   {"qadd", 4, false},
        {"smulbb", 4, false}, {"ldrex", 4, false}, {"movw", 4, false},  {"movt", 4, false},
        {"mls", 4, false},   {"nop", 4, false},    {"bkpt", 4, false},  {"udf", 4, false},
        {"<unknown>", 4, false}, {"movs", 2, false}, {"bl", 2, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mnemonic);
        EXPECT_EQ(armv4_violation({"0", c.size, c.mnemonic}).empty(), c.armv4);
    }
}

TEST(Thumb2Check, TellsThumb2FromFloatingPointAndSimd)
{
    struct Case {
        const char *mnemonic;
        int size;
        bool thumb2;
    };
    const Case cases[] = {
        {"push", 2, true},    {"movw", 4, true},    {"movt", 4, true},   {"ldr.w", 4, true},
        {"cbnz", 2, true},    {"b.w", 4, true},     {"pop.w", 4, true},  {"bl", 4, true},
        {"vadd.f32", 4, false}, {"vldr", 4, false}, {"vmov", 4, false},  {"vmrs", 4, false},
        {"vld1.8", 4, false}, {"mcr", 4, false},    {"mrc2", 4, false},  {"ldcl", 4, false},
        {"bl", 8, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mnemonic);
        EXPECT_EQ(thumb2_violation({"0", c.size, c.mnemonic}).empty(), c.thumb2);
    }
}

TEST(InstructionSet, EachImagesCodeIsOfItsInstructionSetOnly)
{
    // Each machine's instruction set; a kind of another machine needs its rules here.
    const std::map<std::uint16_t, std::string (*)(const Instruction &)> rules = {
        {0x01C0, armv4_violation},
        {0x01C4, thumb2_violation},
    };
    for (const test::Kind &kind : test::read_kinds(DEVICE_DIR)) {
        SCOPED_TRACE(kind.name);
        auto violation = rules.find(kind.machine);
        ASSERT_NE(violation, rules.end()) << "no instruction-set rules for machine " << kind.machine;
        std::vector<Instruction> code = disassemble(elf_of(kind.image(DEVICE_DIR)));
        ASSERT_GE(code.size(), 20u) << "the disassembly found too little code to judge";
        for (const Instruction &instruction : code)
            EXPECT_EQ(violation->second(instruction), "") << "at " << instruction.address;
    }
}

TEST(InstructionSet, Ce3ToCe7ElfFileDeclaresArmv4WithoutThumb)
{
    std::string elf = elf_of(DEVICE_DIR "/ce3-to-ce7/stowkey.exe");
    std::string symbols = output_of(std::string(LLVM_OBJDUMP) + " -t '" + elf + "'");
    EXPECT_EQ(symbols.find(" $t"), std::string::npos) << "Thumb code is marked";
    EXPECT_NE(symbols.find(" $a"), std::string::npos) << "no ARM code is marked";

    std::string attributes = output_of(std::string(LLVM_READELF) + " -A '" + elf + "'");
    EXPECT_NE(attributes.find("Description: ARM v4\n"), std::string::npos) << attributes;
    std::size_t thumb = attributes.find("TagName: THUMB_ISA_use");
    if (thumb != std::string::npos) {
        EXPECT_NE(attributes.find("Description: Not Permitted", thumb), std::string::npos);
    }
}

TEST(InstructionSet, Ce8ElfFileDeclaresArmv7aThumb2WithoutFloatingPoint)
{
    std::string elf = elf_of(DEVICE_DIR "/ce8/stowkey.exe");
    std::string symbols = output_of(std::string(LLVM_OBJDUMP) + " -t '" + elf + "'");
    EXPECT_EQ(symbols.find(" $a"), std::string::npos) << "ARM-state code is marked";
    EXPECT_NE(symbols.find(" $t"), std::string::npos) << "no Thumb code is marked";

    std::string attributes = output_of(std::string(LLVM_READELF) + " -A '" + elf + "'");
    auto described = [&attributes](const std::string &tag) {
        std::size_t at = attributes.find("TagName: " + tag + "\n");
        if (at == std::string::npos)
            return std::string();
        std::size_t description = attributes.find("Description: ", at);
        return attributes.substr(description + 13,
                                 attributes.find('\n', description) - description - 13);
    };
    EXPECT_EQ(described("CPU_arch"), "ARM v7") << attributes;
    EXPECT_EQ(described("CPU_arch_profile"), "Application") << attributes;
    EXPECT_EQ(described("THUMB_ISA_use"), "Thumb-2") << attributes;
    for (const char *tag : {"FP_arch", "Advanced_SIMD_arch"}) {
        std::string use = described(tag);
        EXPECT_TRUE(use.empty() || use == "Not Permitted") << tag << ": " << use;
    }
}

TEST(InstructionSet, ImagesCarryTheCheckedCode)
{
    for (const test::Kind &kind : test::read_kinds(DEVICE_DIR)) {
        std::string image_path = kind.image(DEVICE_DIR);
        SCOPED_TRACE(image_path);
        test::TempDir dir;
        std::string text_path = dir.path("text.bin");
        output_of(std::string(LLVM_OBJCOPY) + " -O binary --only-section=.text '" +
                  elf_of(image_path) + "' '" + text_path + "'");
        std::vector<std::uint8_t> elf_text = test::read_file(text_path);

        std::vector<std::uint8_t> image = test::read_file(image_path);
        pe::Image pe_image;
        std::string error;
        ASSERT_TRUE(pe::read_image(image.data(), image.size(), pe_image, error)) << error;
        const pe::Section &text = pe_image.sections.at(0);
        ASSERT_EQ(text.name, ".text");
        ASSERT_EQ(elf_text.size(), text.raw_size);
        EXPECT_TRUE(std::equal(elf_text.begin(), elf_text.end(), image.begin() + text.raw_offset));
    }
}

}  // namespace
