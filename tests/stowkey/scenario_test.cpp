// What stowkey does, run as a real process: the native build against the
// stand-in coredll, and the shipped ARM image under ce-run on each
// processor, with c.dll present, absent, or without perror. Every runner
// faces the same scenarios with the same expectations; only whether the
// failure line can be written differs.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kinds.h"
#include "process.h"

namespace {

using Flush = std::vector<std::pair<std::string, std::string>>;  // key, result code

const std::string failure_line = "stowkey: Input/output error\n";
const std::vector<std::string> all_keys = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                           "HKEY_LOCAL_MACHINE"};

struct Observed {
    test::Finished process;
    std::vector<std::string> flushed;  // the keys, in call order
    std::vector<std::string> trace;    // every traced platform call
};

// Keys named by the trace's RegFlushKey lines.
std::vector<std::string> flushed_keys(const std::vector<std::string> &trace)
{
    std::vector<std::string> keys;
    const std::string call = "RegFlushKey(";
    for (const std::string &line : trace) {
        if (line.compare(0, call.size(), call) == 0)
            keys.push_back(line.substr(call.size(), line.find(')') - call.size()));
    }
    return keys;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct Runner {
    std::string name;
    std::string default_program;
    // Runs program (a copy of default_program under another name, or it).
    std::function<test::Finished(const std::string &program, const Flush &,
                                 const std::vector<std::string> &args,
                                 const std::string &trace_path)>
        start;
    bool traces_every_call;  // ce-run traces every platform call
    bool writes_line;        // perror can be had; else a failure is silent
    // The calls a failure makes between the failed flush and ExitThread(1).
    std::vector<std::string> failure_calls;
};

void PrintTo(const Runner &runner, std::ostream *out)
{
    *out << runner.name;
}

Runner native_runner()
{
    return {"native", STOWKEY_NATIVE,
            [](const std::string &program, const Flush &flush,
               const std::vector<std::string> &args, const std::string &trace_path) {
                std::string settings;
                for (const auto &[key, code] : flush)
                    settings += key + "=" + code + ",";
                std::vector<std::string> argv = {program};
                argv.insert(argv.end(), args.begin(), args.end());
                return test::run(argv, {{"COREDLL_STANDIN_FLUSH", settings},
                                        {"COREDLL_STANDIN_TRACE", trace_path}});
            },
            false, true, {}};
}

enum class CDll { present, absent, without_perror };

// A device image under ce-run on cpu. c.dll's handle and perror's address
// are where ce-run's platform puts them; perror is Thumb code (odd) on the
// PXA270 and the Cortex-A8.
Runner device_runner(const test::Kind &kind, const std::string &cpu, CDll c_dll)
{
    std::string image = kind.image(IMAGES_DIR);
    const std::string load = "LoadLibraryW(\"c.dll\") = ";
    const std::string find = "GetProcAddressW(0x7ffd1000, \"perror\") = ";
    std::vector<std::string> options = {"--cpu", cpu};
    std::string name = kind.test_name() + "_" + cpu;
    std::replace(name.begin(), name.end(), '-', '_');
    std::vector<std::string> failure_calls;
    switch (c_dll) {
    case CDll::present:
        name += "_with_c_dll";
        failure_calls = {load + "0x7ffd1000",
                         find + (cpu == "sa1110" ? "0x7fff0010" : "0x7fff0011"),
                         "perror(\"stowkey\")"};
        break;
    case CDll::absent:
        name += "_without_c_dll";
        options.insert(options.end(), {"--missing", "c.dll"});
        failure_calls = {load + "0x00000000"};
        break;
    case CDll::without_perror:
        name += "_with_c_dll_without_perror";
        options.insert(options.end(), {"--missing", "c.dll!perror"});
        failure_calls = {load + "0x7ffd1000", find + "0x00000000"};
        break;
    }
    return {name, image,
            [options](const std::string &program, const Flush &flush,
                      const std::vector<std::string> &args, const std::string &trace_path) {
                std::vector<std::string> argv = {CE_RUN, "--trace", trace_path};
                argv.insert(argv.end(), options.begin(), options.end());
                for (const auto &[key, code] : flush) {
                    argv.push_back("--flush");
                    argv.push_back(key + "=" + code);
                }
                argv.push_back(program);
                argv.insert(argv.end(), args.begin(), args.end());
                return test::run(argv);
            },
            true, c_dll == CDll::present, failure_calls};
}

std::vector<Runner> runners()
{
    std::vector<Runner> all = {native_runner()};
    for (CDll c_dll : {CDll::present, CDll::absent, CDll::without_perror}) {
        for (const test::Kind &kind : test::read_kinds(DEVICE_DIR)) {
            for (const std::string &cpu : kind.cpus)
                all.push_back(device_runner(kind, cpu, c_dll));
        }
    }
    return all;
}

class Scenario : public testing::TestWithParam<Runner> {
protected:
    Observed run(const Flush &flush, const std::vector<std::string> &args = {},
            const std::string &program = "")
    {
        const Runner &runner = GetParam();
        std::string trace_path = dir_.path("trace" + std::to_string(runs_++));
        Observed result;
        result.process = runner.start(program.empty() ? runner.default_program : program,
                                      flush, args, trace_path);
        result.trace = lines_of(test::read_text(trace_path));
        result.flushed = flushed_keys(result.trace);
        return result;
    }

    // What every run must show: exit status 0 and silence, or exit status 1
    // and one perror line where perror can be had; nothing ever on standard
    // output; the platform calls of the run in order, so that a successful
    // run never looks for c.dll.
    void expect_outcome(const Observed &result, const std::vector<std::string> &flushed,
                        bool fails)
    {
        const Runner &runner = GetParam();
        EXPECT_EQ(result.process.signal, 0);
        EXPECT_EQ(result.process.exit_status, fails ? 1 : 0);
        EXPECT_EQ(result.process.out, "");
        EXPECT_EQ(result.process.err, fails && runner.writes_line ? failure_line : "");
        EXPECT_EQ(result.flushed, flushed);
        if (runner.traces_every_call) {
            std::vector<std::string> expected;
            for (std::size_t i = 0; i < result.flushed.size(); i++)
                expected.push_back(result.trace.at(i));
            if (fails)
                expected.insert(expected.end(), runner.failure_calls.begin(),
                                runner.failure_calls.end());
            expected.push_back(fails ? "ExitThread(1)" : "ExitThread(0)");
            EXPECT_EQ(result.trace, expected);
        }
    }

    test::TempDir dir_;
    int runs_ = 0;
};

TEST_P(Scenario, FlushesTheRootKeysInOrderAndStopsAtTheFirstFailure)
{
    struct Case {
        const char *name;
        Flush flush;
        std::vector<std::string> flushed;
        bool fails;
    };
    const Case cases[] = {
        {"all succeed", {}, all_keys, false},
        {"explicit success", {{"HKEY_CURRENT_USER", "0"}}, all_keys, false},
        {"classes root fails", {{"HKEY_CLASSES_ROOT", "5"}}, {"HKEY_CLASSES_ROOT"}, true},
        {"current user fails", {{"HKEY_CURRENT_USER", "5"}},
         {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER"}, true},
        {"local machine fails", {{"HKEY_LOCAL_MACHINE", "5"}}, all_keys, true},
        {"two would fail, the first ends it",
         {{"HKEY_CURRENT_USER", "5"}, {"HKEY_LOCAL_MACHINE", "5"}},
         {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER"}, true},
        {"HKEY_USERS is not flushed", {{"HKEY_USERS", "5"}}, all_keys, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        expect_outcome(run(c.flush), c.flushed, c.fails);
    }
}

TEST_P(Scenario, ExitStatusIsOneWhateverTheFailingCode)
{
    const char *codes[] = {"1", "5", "1010", "2147483647", "-2147483648", "-1"};
    for (const char *key : {"HKEY_CLASSES_ROOT", "HKEY_LOCAL_MACHINE"}) {
        for (const char *code : codes) {
            SCOPED_TRACE(std::string(key) + "=" + code);
            Observed result = run({{key, code}});
            EXPECT_EQ(result.process.exit_status, 1);
            EXPECT_EQ(result.process.err, GetParam().writes_line ? failure_line : "");
            EXPECT_EQ(result.flushed.back(), key);
        }
    }
}

TEST_P(Scenario, CommandLineChangesNothing)
{
    const std::vector<std::vector<std::string>> command_lines = {
        {},
        {"one", "two", "three"},
        {"\"quoted words\"", "'single quoted'", "with space"},
        {"", ""},
        {"--help"},
        {"-v", "/?", "HKEY_USERS"},
        {std::string(8000, 'x')},
        {"caf\xc3\xa9", "\xff\xfe not UTF-8"},
    };
    for (const auto &args : command_lines) {
        SCOPED_TRACE(testing::PrintToString(args).substr(0, 80));
        expect_outcome(run({}, args), all_keys, false);
        expect_outcome(run({{"HKEY_CURRENT_USER", "5"}}, args),
                       {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER"}, true);
    }
}

TEST_P(Scenario, AnotherFileNameKeepsThePrefix)
{
    std::string copy = dir_.path(GetParam().traces_every_call ? "renamed.exe" : "renamed");
    test::copy_file(GetParam().default_program, copy);
    expect_outcome(run({{"HKEY_LOCAL_MACHINE", "5"}}, {}, copy), all_keys, true);
    expect_outcome(run({}, {}, copy), all_keys, false);
}

TEST_P(Scenario, RunsInARowAreIndependent)
{
    expect_outcome(run({{"HKEY_CURRENT_USER", "5"}}),
                   {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER"}, true);
    expect_outcome(run({}), all_keys, false);
    expect_outcome(run({{"HKEY_CLASSES_ROOT", "1010"}}), {"HKEY_CLASSES_ROOT"}, true);
    expect_outcome(run({}), all_keys, false);
}

// Each kind's CAB installed by every platform's installer: installed and
// run where the platform's CE version lies in the kind's range (Windows
// Mobile checks no highest version), refused with the range named
// elsewhere. The installers that check the cabinet's length (Pocket PC's,
// and CE 4.2's and 5.0's, read the same way) refuse every signed CAB,
// whose file is longer than its cabinet says. Smartphone 2003 puts its
// storage volume before the path. The table holds what each platform
// must do, and must name the platforms ce-run has, in its order.
TEST(Install, EachCabInstallsAndRunsOnThePlatformsOfItsRange)
{
    // Whether the installer checks the cabinet's length, so refusing every
    // signed CAB: no, yes (a source says so), or no source says.
    enum Length { unchecked, checked, unsourced };
    struct Platform {
        const char *option, *name;
        int major, minor;
        bool checks_highest;
        Length checks_length;
        const char *volume;
    };
    const Platform platforms[] = {
        {"pocketpc2000", "Pocket PC 2000", 3, 0, true, unsourced, ""},
        {"pocketpc2002", "Pocket PC 2002", 3, 0, true, unsourced, ""},
        {"smartphone2002", "Smartphone 2002", 3, 0, true, unchecked, ""},
        {"pocketpc2003", "Pocket PC 2003", 4, 20, true, checked, ""},
        {"smartphone2003", "Smartphone 2003", 4, 21, true, unchecked, "\\Storage"},
        {"windowsmobile5", "Windows Mobile 5", 5, 1, false, unchecked, ""},
        {"windowsmobile6", "Windows Mobile 6", 5, 2, false, unchecked, ""},
        {"ce4.2", "Windows CE 4.2", 4, 20, true, unsourced, ""},
        {"ce5.0", "Windows CE 5.0", 5, 0, true, unsourced, ""},
        {"ce6.0", "Windows Embedded CE 6.0", 6, 0, true, unchecked, ""},
        {"compact7", "Windows Embedded Compact 7", 7, 0, true, unchecked, ""},
        {"compact2013", "Windows Embedded Compact 2013", 8, 0, true, unchecked, ""},
    };
    std::string listed;
    for (const std::string &line : lines_of(test::run({CE_RUN, "--platforms"}).out))
        listed += line.substr(0, line.find(' ')) + " ";
    std::string ours;
    for (const Platform &p : platforms)
        ours += std::string(p.option) + " ";
    ASSERT_EQ(ours, listed) << "ce-run --platforms lists other platforms than this table";

    test::TempDir dir;
    for (const test::Kind &kind : test::read_kinds(DEVICE_DIR)) {
        std::string cab = IMAGES_DIR "/" + kind.name + "/stowkey.cab";
        std::size_t image_size = test::read_file(kind.image(IMAGES_DIR)).size();
        for (const Platform &p : platforms) {
            SCOPED_TRACE(kind.name + " on " + p.option);
            auto version = [](int major, int minor) { return major * 1000 + minor; };
            int device = version(p.major, p.minor);
            bool in_range = version(kind.lowest_major, kind.lowest_minor) <= device &&
                            (!p.checks_highest ||
                             device <= version(kind.highest_major, kind.highest_minor));
            std::string trace = dir.path("trace");
            test::Finished finished =
                test::run({CE_RUN, "--platform", p.option, "--trace", trace, "--install", cab});
            std::string refused = "ce-run: " + cab + ": the " + p.name + " installer refuses it: ";
            if (SIGNED && p.checks_length == unsourced && in_range) {
                EXPECT_EQ(finished.exit_status, 75);
                EXPECT_EQ(finished.err, "ce-run: " + cab + ": ce-run cannot tell what the " + p.name +
                                            " installer does with it: no source says whether the " +
                                            p.name + " installer checks the cabinet's length "
                                            "against the file's\n");
            } else if (SIGNED && p.checks_length == checked) {
                EXPECT_EQ(finished.exit_status, 65);
                EXPECT_EQ(finished.err.rfind(refused + "the cabinet says it is ", 0), 0u)
                    << finished.err;
                EXPECT_NE(finished.err.find("(a signed CAB)\n"), std::string::npos) << finished.err;
            } else if (in_range) {
                EXPECT_EQ(finished.exit_status, 0);
                EXPECT_EQ(finished.err, "");
                std::vector<std::uint8_t> traced = test::read_file(trace);
                std::string installed = "install: wrote " + std::string(p.volume) +
                                        "\\Windows\\stowkey.exe (" + std::to_string(image_size) +
                                        " bytes)\ninstall: unload ";
                EXPECT_EQ(std::string(traced.begin(), traced.end()).substr(0, installed.size()),
                          installed);
            } else {
                auto text = [](int major, int minor) {
                    return std::to_string(major) + "." + std::to_string(minor);
                };
                EXPECT_EQ(finished.exit_status, 65);
                EXPECT_EQ(finished.err,
                          refused + "it is for CE " + text(kind.lowest_major, kind.lowest_minor) +
                              " to " + text(kind.highest_major, kind.highest_minor) +
                              ", and the device runs CE " + text(p.major, p.minor) + "\n");
            }
        }
    }
    // What was installed runs as the image does: a failing flush gives 1.
    test::Finished failing = test::run({CE_RUN, "--platform", "windowsmobile6", "--flush",
                                        "HKEY_CURRENT_USER=5", "--install",
                                        IMAGES_DIR "/ce3-to-ce7/stowkey.cab"});
    EXPECT_EQ(failing.exit_status, 1);
    EXPECT_EQ(failing.err, "stowkey: Input/output error\n");
}

INSTANTIATE_TEST_SUITE_P(Runners, Scenario,
                         testing::ValuesIn(runners()),
                         [](const testing::TestParamInfo<Runner> &info) {
                             return info.param.name;
                         });

}  // namespace
