// The device code uses ARMv4 in ARM state and nothing else: no Thumb, no
// bx or blx, no instruction from ARMv5 on. Checked on the disassembly of
// the linked ELF file, whose .text is byte for byte the image's.

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

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

// The code of .text; data in it (literal pools, import tables) is marked
// by mapping symbols and printed as .word and the like, which is left out.
std::vector<Instruction> disassemble(const std::string &elf)
{
    static const std::regex line(R"(^\s*([0-9a-f]+):\s((?:[0-9a-f]{2} )+)\s*\t(\S+))");
    std::vector<Instruction> code;
    std::istringstream text(output_of(std::string(LLVM_OBJDUMP) + " -d -j .text '" + elf + "'"));
    for (std::string row; std::getline(text, row);) {
        std::smatch m;
        if (std::regex_search(row, m, line) && m[3].str()[0] != '.')
            code.push_back({m[1], int(m[2].length() / 3), m[3]});
    }
    return code;
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

TEST(InstructionSet, DeviceCodeIsArmv4ArmStateOnly)
{
    std::vector<Instruction> code = disassemble(STOWKEY_ELF);
    ASSERT_GE(code.size(), 20u) << "the disassembly found too little code to judge";
    for (const Instruction &instruction : code)
        EXPECT_EQ(armv4_violation(instruction), "") << "at " << instruction.address;
}

TEST(InstructionSet, ElfFileDeclaresArmv4WithoutThumb)
{
    std::string symbols = output_of(std::string(LLVM_OBJDUMP) + " -t '" STOWKEY_ELF "'");
    EXPECT_EQ(symbols.find(" $t"), std::string::npos) << "Thumb code is marked";
    EXPECT_NE(symbols.find(" $a"), std::string::npos) << "no ARM code is marked";

    std::string attributes = output_of(std::string(LLVM_READELF) + " -A '" STOWKEY_ELF "'");
    EXPECT_NE(attributes.find("Description: ARM v4\n"), std::string::npos) << attributes;
    std::size_t thumb = attributes.find("TagName: THUMB_ISA_use");
    if (thumb != std::string::npos) {
        EXPECT_NE(attributes.find("Description: Not Permitted", thumb), std::string::npos);
    }
}

TEST(InstructionSet, ImageCarriesTheCheckedCode)
{
    test::TempDir dir;
    std::string text_path = dir.path("text.bin");
    output_of(std::string(LLVM_OBJCOPY) + " -O binary --only-section=.text '" STOWKEY_ELF
              "' '" + text_path + "'");
    std::vector<std::uint8_t> elf_text = test::read_file(text_path);

    std::vector<std::uint8_t> image = test::read_file(STOWKEY_IMAGE);
    pe::Image pe_image;
    std::string error;
    ASSERT_TRUE(pe::read_image(image.data(), image.size(), pe_image, error)) << error;
    const pe::Section &text = pe_image.sections.at(0);
    ASSERT_EQ(text.name, ".text");
    ASSERT_EQ(elf_text.size(), text.raw_size);
    EXPECT_TRUE(std::equal(elf_text.begin(), elf_text.end(), image.begin() + text.raw_offset));
}

}  // namespace
