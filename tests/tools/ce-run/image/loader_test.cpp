// ce-run as each Windows CE release's loader: which images it takes and
// which it refuses with which rule, how it handles imports the device
// lacks, how the kernel enters the program, and which calls reach a
// platform function in the right instruction set on each processor.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "pe_bytes.h"
#include "process.h"

// The tables below hold the rules of one kind of image each.
#define CE3_TO_CE7_IMAGE DEVICE_DIR "/ce3-to-ce7/stowkey.exe"
#define CE8_IMAGE DEVICE_DIR "/ce8/stowkey.exe"

namespace {

using namespace test;

const std::vector<std::string> releases = {"3.0", "4.2", "5.0", "6.0", "7.0", "8.0"};

std::string test_image(const std::string &name)
{
    return std::string(TEST_IMAGES) + "/" + name + ".exe";
}

Finished ce_run(std::vector<std::string> options, const std::string &image)
{
    options.insert(options.begin(), CE_RUN);
    options.push_back(image);
    return run(options);
}

// A device image with one field changed, and what each release's loader
// says of it: every rule it breaks after "Windows CE X refuses it: ", or
// nothing for a release that takes it. Where a release takes it, the run
// ends with loaded_status (0 for a run that flushes all three keys).
struct Variant {
    const char *name;
    std::function<void(Bytes &)> change;
    std::map<std::string, std::string> refusals;
    std::vector<std::string> options = {};
    int loaded_status = 0;
};

std::string and_then(const std::string &rules, const std::string &more)
{
    return more.empty() ? rules : rules + "; " + more;
}

// What 8.0 says of the CE 3.0 to 7 image, then of what else it breaks.
std::string arm_image_on_8(const std::string &more = "")
{
    return and_then("machine 0x01c0 is not 0x01c4; built for OS version 3.0, older than 8.0",
                    more);
}

// What 3.0 to 7.0 say of the CE 8 image (on a Cortex-A8, whose CE 4.2 to
// 7.0 kernels are ARMV4I), then of what else it breaks.
std::string ce8_image_on(const std::string &release, const std::string &more = "")
{
    return and_then("machine 0x01c4 is not " +
                        std::string(release == "3.0" ? "0x01c0" : "0x01c0 or 0x01c2") +
                        "; built for OS version 8.0, newer than " + release,
                    more);
}

std::map<std::string, std::string> on_every_release(const std::string &rule)
{
    std::map<std::string, std::string> refusals;
    for (const std::string &release : releases)
        refusals[release] = rule;
    return refusals;
}

// A rule of every release that the CE 3.0 to 7 image breaks.
std::map<std::string, std::string> on_3_to_7(const std::string &rule)
{
    std::map<std::string, std::string> refusals = on_every_release(rule);
    refusals["8.0"] = arm_image_on_8(rule);
    return refusals;
}

void expect_refusals(const std::string &image_path, const Variant &variant)
{
    TempDir dir;
    Bytes image = read_file(image_path);
    variant.change(image);
    std::string path = dir.path("variant.exe");
    write_file(path, image);
    for (const std::string &release : releases) {
        SCOPED_TRACE(std::string(variant.name) + " on " + release);
        std::vector<std::string> options = {"--os", release};
        options.insert(options.end(), variant.options.begin(), variant.options.end());
        Finished finished = ce_run(options, path);
        auto refusal = variant.refusals.find(release);
        if (refusal == variant.refusals.end()) {
            EXPECT_EQ(finished.exit_status, variant.loaded_status) << finished.err;
            continue;
        }
        EXPECT_EQ(finished.exit_status, refusal->second.empty() ? 64 : 65);
        if (!refusal->second.empty()) {
            EXPECT_EQ(finished.err, "ce-run: " + path + ": Windows CE " + release +
                                        " refuses it: " + refusal->second + "\n");
        }
    }
}

TEST(Loader, EachReleaseTakesOrRefusesTheImageByItsRules)
{
    auto set16 = [](std::size_t Layout::*where, std::size_t offset, std::uint16_t value) {
        return [=](Bytes &b) { put16(b, layout(b).*where + offset, value); };
    };
    auto set32 = [](std::size_t Layout::*where, std::size_t offset, std::uint32_t value) {
        return [=](Bytes &b) { put32(b, layout(b).*where + offset, value); };
    };
    auto set_version = [](std::uint16_t major, std::uint16_t minor) {
        return [=](Bytes &b) {
            put16(b, layout(b).optional + 48, major);
            put16(b, layout(b).optional + 50, minor);
        };
    };
    auto set_directory = [](int index, std::uint32_t rva, std::uint32_t size) {
        return [=](Bytes &b) {
            put32(b, layout(b).directory(index), rva);
            put32(b, layout(b).directory(index) + 4, size);
        };
    };
    const std::string header_rule =
        "the optional header is 0xe0 bytes with 15 data directories; the loader reads "
        "the section table at e_lfanew + 0xf8, so it must be 0xe0 bytes with 16";
    auto base_rule = [](const char *base, const char *highest) {
        return std::string("its relocations are stripped and its image base ") + base +
               " is not from 0x00010000 to " + highest;
    };
    const std::string nx_rule =
        "strict NX is on and DllCharacteristics 0x0000 lacks NX_COMPAT (0x0100)";
    auto outside_rule = [](const std::string &directory) {
        return "the " + directory +
               " directory at 0x00005000 of 0x0000001c bytes is not within the size of "
               "image 0x00003000";
    };

    const Variant ce3_to_ce7[] = {
        {"as built", [](Bytes &) {}, {{"8.0", arm_image_on_8()}}},
        {"as built, strict NX", [](Bytes &) {}, {{"8.0", arm_image_on_8()}}, {"--strict-nx"}},
        {"not NX-compatible, strict NX", set16(&Layout::optional, 70, 0),
         {{"7.0", nx_rule}, {"8.0", arm_image_on_8(nx_rule)}}, {"--strict-nx"}},
        {"not NX-compatible", set16(&Layout::optional, 70, 0), {{"8.0", arm_image_on_8()}}},
        {"15 data directories", set32(&Layout::optional, 92, 15),
         [&] {
             auto refusals = on_every_release(header_rule);
             refusals["8.0"] = and_then(header_rule, arm_image_on_8());
             return refusals;
         }()},
        {"Thumb machine on an ARMV4I kernel", set16(&Layout::coff, 0, 0x01C2),
         {{"3.0", "machine 0x01c2 is not 0x01c0"},
          {"8.0", "machine 0x01c2 is not 0x01c4; built for OS version 3.0, older than 8.0"}}},
        // 8.0 does not run on an SA-1110: a usage error.
        {"Thumb machine on an ARMV4 kernel", set16(&Layout::coff, 0, 0x01C2),
         [] {
             auto refusals = on_every_release("machine 0x01c2 is not 0x01c0");
             refusals["8.0"] = "";
             return refusals;
         }(),
         {"--cpu", "sa1110"}},
        {"Windows GUI subsystem", set16(&Layout::optional, 68, 2),
         [] {
             auto refusals = on_every_release("subsystem 2 is not Windows CE (9)");
             refusals["8.0"] = "machine 0x01c0 is not 0x01c4; subsystem 2 is not Windows CE "
                               "(9); built for OS version 3.0, older than 8.0";
             return refusals;
         }()},
        {"built for 4.20, as CE 4.2 builds say", set_version(4, 20),
         {{"3.0", "built for OS version 4.20, newer than 3.0"},
          {"8.0", "machine 0x01c0 is not 0x01c4; built for OS version 4.20, older than 8.0"}}},
        {"built for 5.0", set_version(5, 0),
         {{"3.0", "built for OS version 5.0, newer than 3.0"},
          {"4.2", "built for OS version 5.0, newer than 4.2"},
          {"8.0", "machine 0x01c0 is not 0x01c4; built for OS version 5.0, older than 8.0"}}},
        {"a DLL", set16(&Layout::coff, 18, 0x2103), on_3_to_7("a DLL, not a program")},
        {"size of image of 1 GiB", set32(&Layout::optional, 56, 0x40000000),
         on_3_to_7("size of image 0x40000000 is not under 1 GiB")},
        {"COM descriptor", set_directory(14, 0x1000, 0x48),
         on_3_to_7("data directory 14 (COM descriptor) is set, so it is taken for managed "
                   "code")},
        // Moved, the ARMv4 code still uses its own addresses, so a release
        // that takes it runs it into a fault.
        {"image base at the highest for 3.0 to 6.0", set32(&Layout::optional, 28, 0x00400000),
         {{"8.0", arm_image_on_8()}}, {}, 70},
        {"image base past 0x400000", set32(&Layout::optional, 28, 0x00401000),
         [&] {
             auto refusals = on_every_release(base_rule("0x00401000", "0x00400000"));
             refusals.erase("7.0");
             refusals["8.0"] = arm_image_on_8();
             return refusals;
         }(),
         {}, 70},
        {"image base past 0x4000000", set32(&Layout::optional, 28, 0x04001000),
         [&] {
             auto refusals = on_every_release(base_rule("0x04001000", "0x00400000"));
             refusals["7.0"] = base_rule("0x04001000", "0x04000000");
             refusals["8.0"] = arm_image_on_8(refusals["7.0"]);
             return refusals;
         }()},
        {"import directory past the image",
         [](Bytes &b) { put32(b, layout(b).directory(1) + 4, 0x10000); },
         [] {
             std::string rule = "the import directory at 0x00001110 of 0x00010000 bytes is "
                                "not within the size of image 0x00003000";
             return std::map<std::string, std::string>{{"7.0", rule},
                                                       {"8.0", arm_image_on_8(rule)}};
         }()},
        {"base relocation directory past the image", set_directory(5, 0x5000, 0x1C),
         {{"7.0", outside_rule("base relocation")},
          {"8.0", arm_image_on_8(outside_rule("base relocation"))}}},
        {"debug directory past the image", set_directory(6, 0x5000, 0x1C),
         {{"7.0", outside_rule("debug")}, {"8.0", arm_image_on_8(outside_rule("debug"))}}},
    };
    for (const Variant &variant : ce3_to_ce7)
        expect_refusals(CE3_TO_CE7_IMAGE, variant);

    // The CE 8 image: by its machine and its version, only 8.0 takes it.
    auto ce8_refused_before_8 = [](const std::string &more_before_7, const std::string &more_on_7) {
        std::map<std::string, std::string> refusals;
        for (const char *release : {"3.0", "4.2", "5.0", "6.0"})
            refusals[release] = ce8_image_on(release, more_before_7);
        refusals["7.0"] = ce8_image_on("7.0", more_on_7);
        return refusals;
    };
    const Variant ce8[] = {
        {"as built", [](Bytes &) {}, ce8_refused_before_8("", "")},
        {"as built, strict NX", [](Bytes &) {}, ce8_refused_before_8("", ""), {"--strict-nx"}},
        {"not NX-compatible, strict NX", set16(&Layout::optional, 70, 0),
         [&] {
             auto refusals = ce8_refused_before_8("", nx_rule);
             refusals["8.0"] = nx_rule;
             return refusals;
         }(),
         {"--strict-nx"}},
        {"built for 7.0", set_version(7, 0),
         [] {
             std::map<std::string, std::string> refusals;
             for (const char *release : {"3.0", "4.2", "5.0", "6.0"})
                 refusals[release] =
                     "machine 0x01c4 is not " +
                     std::string(release == std::string("3.0") ? "0x01c0" : "0x01c0 or 0x01c2") +
                     "; built for OS version 7.0, newer than " + release;
             refusals["7.0"] = "machine 0x01c4 is not 0x01c0 or 0x01c2";
             refusals["8.0"] = "built for OS version 7.0, older than 8.0";
             return refusals;
         }()},
        {"image base past 0x4000000", set32(&Layout::optional, 28, 0x04001000),
         [&] {
             auto refusals = ce8_refused_before_8(base_rule("0x04001000", "0x00400000"),
                                                  base_rule("0x04001000", "0x04000000"));
             refusals["8.0"] = base_rule("0x04001000", "0x04000000");
             return refusals;
         }()},
    };
    for (const Variant &variant : ce8)
        expect_refusals(CE8_IMAGE, variant);
}

TEST(Loader, ImportsTheDeviceLacksAreHandledAsEachReleaseDoes)
{
    // stowkey with perror imported from c.dll at load time, as it was.
    struct Case {
        std::string release;
        std::string missing;  // --missing, if any
        const char *flush;    // --flush, if any
        int status;
        std::string message;  // the ce-run: line after the image's path, or the program's
    };
    const std::string ends_with_0 =
        " would end the process with exit status 0 before its entry point ran";
    const std::string failure_line = "stowkey: Input/output error";
    const char *fail = "HKEY_CLASSES_ROOT=5";
    std::vector<Case> cases;
    for (const char *release : {"3.0", "4.2", "5.0", "6.0", "7.0"}) {
        cases.push_back({release, "", nullptr, 0, ""});
        cases.push_back({release, "", fail, 1, failure_line});
    }
    for (const char *release : {"3.0", "4.2", "5.0"})
        cases.push_back({release, "c.dll", nullptr, 69,
                         std::string("Windows CE ") + release +
                             " refuses to create the process: c.dll is not on the device"});
    for (const char *release : {"6.0", "7.0"}) {
        cases.push_back({release, "c.dll", nullptr, 69,
                         "c.dll is not on the device: Windows CE " + std::string(release) +
                             ends_with_0});
        cases.push_back({release, "c.dll!perror", nullptr, 69,
                         "c.dll has no perror: Windows CE " + std::string(release) +
                             ends_with_0});
    }
    for (const char *release : {"4.2", "5.0"})
        cases.push_back({release, "c.dll!perror", nullptr, 69,
                         std::string("Windows CE ") + release +
                             " refuses to create the process: c.dll has no perror"});
    // CE 3.0 leaves perror's slot 0: fine until a flush fails.
    cases.push_back({"3.0", "c.dll!perror", nullptr, 0, ""});
    cases.push_back({"3.0", "c.dll!perror", fail, 70, "fetch from unmapped memory at 0x00000000"});
    cases.push_back({"8.0", "c.dll", nullptr, 65, "Windows CE 8.0 refuses it: " + arm_image_on_8()});

    const std::string image = test_image("load_time_perror");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.release + " --missing " + c.missing + (c.flush ? " fails" : ""));
        std::vector<std::string> options = {"--os", c.release};
        if (!c.missing.empty())
            options.insert(options.end(), {"--missing", c.missing});
        if (c.flush != nullptr)
            options.insert(options.end(), {"--flush", c.flush});
        Finished finished = ce_run(options, image);
        EXPECT_EQ(finished.exit_status, c.status);
        if (c.message.empty())
            EXPECT_EQ(finished.err, "");
        else if (c.status == 1)
            EXPECT_EQ(finished.err, c.message + "\n");
        else
            EXPECT_EQ(finished.err, "ce-run: " + image + ": " + c.message + "\n");
    }
}

TEST(Loader, EntryPointGetsWhatTheKernelPasses)
{
    // r0 (process handle, or id from 6.0 on), r1, r2 (the command line),
    // r3 (SW_SHOW), an sp that is 4 but not 8-byte aligned and user mode
    // (0x10), then a return from the entry point that ends the process
    // with its r0.
    struct Case {
        const char *release;
        const char *r0;
    };
    const Case cases[] = {
        {"3.0", "0x4e2a0002"}, {"5.0", "0x4e2a0002"}, {"6.0", "0x00ce0042"}, {"7.0", "0x00ce0042"},
    };
    TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.release);
        std::string trace = dir.path("trace");
        Finished finished = ce_run({"--os", c.release, "--trace", trace},
                                   test_image("entry_registers"));
        EXPECT_EQ(finished.exit_status, 9);
        EXPECT_EQ(read_text(trace),
                  "RegFlushKey(" + std::string(c.r0) + ") = 6\n"
                  "RegFlushKey(0x00000000) = 6\n"
                  "RegFlushKey(0x7fe00000) = 6\n"
                  "RegFlushKey(0x00000005) = 6\n"
                  "RegFlushKey(0x7feffffc) = 6\n"
                  "RegFlushKey(0x00000010) = 6\n");
    }
}

TEST(Loader, OnlyLdrPcEntersAThumbPlatformFunctionInThumbState)
{
    struct Case {
        const char *image;
        const char *cpu;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"ldr_pc_call", "sa1110", 7, ""},
        {"ldr_pc_call", "pxa270", 7, ""},
        {"mov_pc_call", "sa1110", 7, ""},
        {"mov_pc_call", "pxa270", 70,
         "ExitThread reached in ARM state; on the PXA270 the platform's functions are Thumb "
         "code"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.image) + " on " + c.cpu);
        std::string image = test_image(c.image);
        Finished finished = ce_run({"--cpu", c.cpu}, image);
        EXPECT_EQ(finished.exit_status, c.status);
        EXPECT_EQ(finished.err, c.message.empty() ? "" : "ce-run: " + image + ": " + c.message + "\n");
    }
}

}  // namespace
