// ce-run: runs a Windows CE ARM program on this machine, instruction by
// instruction, with the platform it calls emulated.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "command_line.h"
#include "cpu.h"
#include "device_files.h"
#include "emulator.h"
#include "installer.h"
#include "load_plan.h"
#include "release_rules.h"
#include "pe_image.h"
#include "platform.h"

namespace {

// Besides the program's own status, 0 to 255.
enum ExitStatus {
    exit_usage = 64,
    exit_bad_image = 65,
    exit_unreadable_image = 66,
    exit_missing_import = 69,  // the device would not run the program
    exit_program_fault = 70,
    exit_instruction_limit = 71,
    exit_status_too_large = 72,
    exit_trace_unwritable = 73,
    exit_standard_error_full = 74,
};

constexpr std::uint64_t default_max_instructions = 10000000;
constexpr off_t max_image_size = 64 << 20;

const char usage[] =
    "usage: ce-run [OPTION]... [--] IMAGE [ARGUMENT]...\n"
    "       ce-run --platform NAME [OPTION]... --install CAB [--] [ARGUMENT]...\n"
    "Runs the Windows CE ARM program IMAGE under emulation, its ARGUMENTs\n"
    "forming its command line, and exits with the program's exit status.\n"
    "With --install, installs CAB as the platform's installer would, then runs\n"
    "the executable it installed.\n"
    "\n"
    "  --os VERSION            the device's release: 3.0, 4.2, 5.0, 6.0, 7.0 or\n"
    "                          8.0, whose loader rules apply; default: the oldest\n"
    "                          that takes the image's subsystem version\n"
    "  --platform NAME         the device's platform, whose installer's and\n"
    "                          release's rules apply (not with --os):\n"
    "                          pocketpc2000, pocketpc2002, smartphone2002 (3.0),\n"
    "                          pocketpc2003, smartphone2003, ce4.2 (4.2),\n"
    "                          windowsmobile5, windowsmobile6, ce5.0 (5.0),\n"
    "                          ce6.0, compact7, compact2013 (6.0, 7.0, 8.0)\n"
    "  --install CAB           install CAB on the platform and run what it installs\n"
    "  --device-file PATH=FILE  FILE is on the device at PATH (as \\Windows\\x.exe)\n"
    "                          before the install, dated as FILE; may be repeated\n"
    "  --cpu MODEL             sa1110 (StrongARM, ARMv4, ARM platform code),\n"
    "                          pxa270 (XScale, ARMv5TE, Thumb platform code) or\n"
    "                          cortex-a8 (ARMv7-A, Thumb platform code; the only\n"
    "                          one for 8.0); default: the platform's, else\n"
    "                          cortex-a8 for machine 0x01c4 or --os 8.0, pxa270\n"
    "                          for 0x01c2, else sa1110\n"
    "  --missing DLL[!FUNCTION]  the device lacks the DLL, or one function of it\n"
    "                          (coredll.dll, c.dll); may be repeated\n"
    "  --strict-nx             the device refuses images not marked NX-compatible\n"
    "                          (a setting of 7.0 and 8.0; earlier ones ignore it)\n"
    "  --flush KEY=CODE        RegFlushKey gives CODE for root key KEY\n"
    "                          (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,\n"
    "                          HKEY_LOCAL_MACHINE, HKEY_USERS); default 0\n"
    "  --trace FILE            write each platform call, and the installer's work,\n"
    "                          to FILE, a line each; the run ends when it reaches\n"
    "                          64 MiB\n"
    "  --stats                 after the run, print the instructions executed\n"
    "                          and the deepest stack use on standard error\n"
    "  --max-instructions N    end the run as failed after N of the program's own\n"
    "                          instructions (default 10000000)\n"
    "  --help                  print this and exit\n"
    "  --version               print ce-run's version and exit\n"
    "\n"
    "Exit status: the program's own, or 64 usage error, 65 image or CAB refused,\n"
    "66 image or CAB unreadable, 69 an import the device lacks keeps the program\n"
    "from running, 70 program fault or a wait for what never comes,\n"
    "71 instruction limit reached, 72 program status outside 0..255,\n"
    "73 trace not written or at its limit, 74 the program's standard error\n"
    "at its limit (64 MiB).\n";

int complain(int status, const std::string &message)
{
    std::fprintf(stderr, "ce-run: %s\n", message.c_str());
    return status;
}

bool parse_count(const std::string &text, std::uint64_t &count)
{
    if (text.empty() || text.size() > 12 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    count = std::stoull(text);
    return count > 0;
}

struct Arguments {
    platform::State state;
    std::string trace_path;
    bool stats = false;
    bool strict_nx = false;
    bool release_given = false, cpu_given = false;
    os::Release release = os::ce_3_0;
    cpu::Model cpu = cpu::sa1110;
    const os::Platform *platform = nullptr;
    std::string cab_path;
    std::vector<std::pair<std::string, std::string>> device_files;  // device path, host file
    std::uint64_t max_instructions = default_max_instructions;
    std::string image_path;
    std::vector<std::string> program_arguments;
};

enum Option {
    option_os = 1000, option_cpu, option_missing, option_strict_nx, option_flush, option_trace,
    option_stats, option_max_instructions, option_help, option_version, option_platform,
    option_install, option_device_file,
};

const struct option options[] = {
    {"os", required_argument, nullptr, option_os},
    {"cpu", required_argument, nullptr, option_cpu},
    {"missing", required_argument, nullptr, option_missing},
    {"strict-nx", no_argument, nullptr, option_strict_nx},
    {"flush", required_argument, nullptr, option_flush},
    {"trace", required_argument, nullptr, option_trace},
    {"stats", no_argument, nullptr, option_stats},
    {"max-instructions", required_argument, nullptr, option_max_instructions},
    {"help", no_argument, nullptr, option_help},
    {"version", no_argument, nullptr, option_version},
    {"platform", required_argument, nullptr, option_platform},
    {"install", required_argument, nullptr, option_install},
    {"device-file", required_argument, nullptr, option_device_file},
    {nullptr, 0, nullptr, 0},
};

// One option and its value; -1 to go on, else the exit status.
int apply_option(int option, const std::string &value, Arguments &out)
{
    std::string error;
    switch (option) {
    case option_help:
        std::fputs(usage, stdout);
        return 0;
    case option_version:
        std::puts("ce-run (stowkey) " STOWKEY_VERSION);
        return 0;
    case option_stats:
        out.stats = true;
        break;
    case option_strict_nx:
        out.strict_nx = true;
        break;
    case option_flush:
        if (!scripted::set_flush_result(out.state.flush, value, error))
            return complain(exit_usage, "--flush: " + error);
        break;
    case option_missing:
        if (!platform::set_missing(out.state.device, value, error))
            return complain(exit_usage, "--missing: " + error);
        break;
    case option_os:
        if (!(out.release_given = os::parse(value, out.release)))
            return complain(exit_usage,
                            "--os: '" + value + "' is not one of 3.0, 4.2, 5.0, 6.0, 7.0, 8.0");
        break;
    case option_cpu:
        if (!(out.cpu_given = cpu::parse(value, out.cpu)))
            return complain(exit_usage, "--cpu: '" + value + "' is not sa1110, pxa270 or cortex-a8");
        break;
    case option_trace:
        if ((out.trace_path = value).empty())
            return complain(exit_usage, "--trace: the file name is empty");
        break;
    case option_max_instructions:
        if (!parse_count(value, out.max_instructions))
            return complain(exit_usage, "--max-instructions: '" + value +
                                            "' is not a count from 1 to 999999999999");
        break;
    case option_platform:
        if ((out.platform = os::find_platform(value)) == nullptr)
            return complain(exit_usage,
                            "--platform: '" + value + "' is not one of " + os::platform_options());
        break;
    case option_install:
        if ((out.cab_path = value).empty())
            return complain(exit_usage, "--install: the file name is empty");
        break;
    case option_device_file: {
        std::size_t equals = value.find('=');
        if (equals == std::string::npos || equals + 1 == value.size() ||
            !device_files::is_full_path(value.substr(0, equals)))
            return complain(exit_usage, "--device-file: '" + value +
                                            "' is not PATH=FILE with PATH a full device path "
                                            "(as \\Windows\\stowkey.exe)");
        out.device_files.emplace_back(value.substr(0, equals), value.substr(equals + 1));
        break;
    }
    }
    return -1;
}

// Returns -1 to go on, else the exit status.
int parse_arguments(int argc, char **argv, Arguments &out)
{
    // "+": the first argument that is no option ends them, so that the
    // program's own arguments are never taken for ce-run's; ":": a missing
    // value is told apart from an unknown option.
    opterr = 0;
    optind = 1;
    int option;
    while ((option = getopt_long(argc, argv, "+:", options, nullptr)) != -1) {
        if (option == '?')
            return complain(exit_usage, "unknown option " +
                                            (optopt != 0 ? "-" + std::string(1, char(optopt))
                                                         : std::string(argv[optind - 1])) +
                                            " (see ce-run --help)");
        if (option == ':')
            return complain(exit_usage, std::string(argv[optind - 1]) + " needs a value");
        int status = apply_option(option, optarg != nullptr ? optarg : "", out);
        if (status >= 0)
            return status;
    }
    if (out.platform != nullptr && out.release_given)
        return complain(exit_usage, "--platform and --os both name the device: give one");
    if (!out.cab_path.empty() && out.platform == nullptr)
        return complain(exit_usage, "--install needs --platform: the installer is the platform's");
    if (!out.device_files.empty() && out.cab_path.empty())
        return complain(exit_usage, "--device-file places files for --install");
    int first_argument = optind;
    if (out.cab_path.empty()) {
        if (optind == argc)
            return complain(exit_usage, "no IMAGE given (see ce-run --help)");
        out.image_path = argv[optind];
        first_argument++;
    }
    out.program_arguments.assign(argv + first_argument, argv + argc);
    const std::string &input = out.cab_path.empty() ? out.image_path : out.cab_path;
    struct stat image, trace;
    if (!out.trace_path.empty() &&
        (out.trace_path == input ||
         (stat(input.c_str(), &image) == 0 && stat(out.trace_path.c_str(), &trace) == 0 &&
          image.st_dev == trace.st_dev && image.st_ino == trace.st_ino)))
        return complain(exit_usage, "--trace: " + out.trace_path + " is the " +
                                        (out.cab_path.empty() ? "image" : "CAB") +
                                        " itself, which the trace would overwrite");
    return -1;
}

bool read_file(const std::string &path, std::vector<std::uint8_t> &bytes, std::string &error)
{
    // Non-blocking, so that opening a FIFO does not wait for a writer; only
    // a regular file is read.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        error = std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        error = "not a regular file";
    } else if (info.st_size > max_image_size) {
        error = "larger than " + std::to_string(max_image_size >> 20) + " MiB";
    } else {
        bytes.resize(std::size_t(info.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                error = n < 0 ? std::strerror(errno) : "the file shrank while read";
                break;
            }
            done += std::size_t(n);
        }
    }
    if (fd >= 0)
        close(fd);
    return error.empty();
}

// The trace, opened once; false with the status's message on failure.
bool open_trace(Arguments &arguments, std::FILE *&trace)
{
    if (arguments.trace_path.empty() || trace != nullptr)
        return true;
    trace = std::fopen(arguments.trace_path.c_str(), "w");
    if (trace == nullptr) {
        complain(exit_trace_unwritable,
                 "cannot write trace " + arguments.trace_path + ": " + std::strerror(errno));
        return false;
    }
    arguments.state.trace = trace;
    return true;
}

// Installs the CAB as the platform's installer would, on a device that
// holds the --device-file files first; image_path then names the
// executable installed, file holds its bytes. Returns -1 to go on, else
// the exit status.
int install(Arguments &arguments, std::FILE *&trace, std::string &image_path,
            std::vector<std::uint8_t> &file)
{
    std::string error;
    std::vector<std::uint8_t> cab;
    if (!read_file(arguments.cab_path, cab, error))
        return complain(exit_unreadable_image, "cannot read " + arguments.cab_path + ": " + error);
    device_files::Files files;
    for (const auto &[path, host_file] : arguments.device_files) {
        device_files::File placed = {path, {}, 0};
        struct stat info;
        if (!read_file(host_file, placed.bytes, error) || stat(host_file.c_str(), &info) != 0)
            return complain(exit_unreadable_image, "--device-file: cannot read " + host_file +
                                                       ": " + (error.empty() ? "gone" : error));
        placed.date = std::int64_t(info.st_mtime);
        files.put(placed);
    }
    if (!open_trace(arguments, trace))
        return exit_trace_unwritable;
    std::string executable;
    if (!installer::install(*arguments.platform, cab, files, arguments.state, executable, error))
        return complain(exit_bad_image, arguments.cab_path + ": the " + arguments.platform->name +
                                            " installer refuses it: " + error);
    image_path = arguments.cab_path + ": " + executable;
    file = files.find(executable)->bytes;
    return -1;
}

}  // namespace

int main(int argc, char **argv)
{
    Arguments arguments;
    int status = parse_arguments(argc, argv, arguments);
    if (status >= 0)
        return status;
    std::string image_path = arguments.image_path;

    std::u16string line = command_line::build(arguments.program_arguments);
    if (line.size() > emulator::max_command_line)
        return complain(exit_usage, "the command line is " + std::to_string(line.size()) +
                                        " UTF-16 units long; at most " +
                                        std::to_string(emulator::max_command_line) +
                                        " fit");

    std::vector<std::uint8_t> file;
    std::string error;
    std::FILE *trace = nullptr;
    if (arguments.platform != nullptr) {
        arguments.release = arguments.platform->release;
        if (!arguments.cpu_given)
            arguments.cpu = arguments.platform->cpu;
        arguments.release_given = arguments.cpu_given = true;
    }
    if (!arguments.cab_path.empty()) {
        status = install(arguments, trace, image_path, file);
        if (status >= 0) {
            if (trace != nullptr)
                std::fclose(trace);
            return status;
        }
    } else if (!read_file(image_path, file, error)) {
        return complain(exit_unreadable_image, "cannot read " + image_path + ": " + error);
    }
    pe::Image image;
    if (!pe::read_image(file.data(), file.size(), image, error))
        return complain(exit_bad_image, image_path + ": " + error);
    if (!arguments.release_given)
        arguments.release = os::for_image(image);
    if (!arguments.cpu_given)
        arguments.cpu = arguments.release == os::ce_8_0 ? cpu::cortex_a8
                                                        : cpu::default_for(image.machine);
    if (arguments.release == os::ce_8_0 && !cpu::models[arguments.cpu].armv7)
        return complain(exit_usage, std::string("--cpu: Windows CE 8.0 does not run on the ") +
                                        cpu::models[arguments.cpu].name +
                                        "; it needs ARMv7 (cortex-a8)");
    os::Device device = {arguments.release, cpu::models[arguments.cpu].kernel_machine,
                         arguments.strict_nx};
    std::string refusal = os::refusal(image, device);
    if (!refusal.empty())
        return complain(exit_bad_image, image_path + ": Windows CE " +
                                            os::name(arguments.release) +
                                            " refuses it: " + refusal);
    loader::Plan plan;
    if (!loader::plan(image, arguments.release, arguments.state.device, plan, error))
        return complain(exit_missing_import, image_path + ": " + error);

    if (!open_trace(arguments, trace))
        return exit_trace_unwritable;

    emulator::Result result =
        emulator::run(plan, file, arguments.state,
                      {arguments.max_instructions, line, arguments.cpu,
                       os::entry_process(arguments.release)});

    if (trace != nullptr && (std::ferror(trace) | std::fclose(trace)) != 0)
        return complain(exit_trace_unwritable, "cannot write trace " + arguments.trace_path);
    if (arguments.stats)
        std::fprintf(stderr, "ce-run: stats: instructions=%llu stack_bytes=%u\n",
                     static_cast<unsigned long long>(result.instructions),
                     unsigned(result.stack_bytes));

    switch (result.ending) {
    case emulator::Result::exited:
        if (result.exit_status > 255)
            return complain(exit_status_too_large,
                            image_path + ": exit status " +
                                std::to_string(result.exit_status) +
                                " is outside 0..255 and cannot be passed on");
        return int(result.exit_status);
    case emulator::Result::instruction_limit:
        return complain(exit_instruction_limit,
                        image_path + ": instruction limit of " +
                            std::to_string(arguments.max_instructions) + " reached");
    case emulator::Result::trace_full:
        return complain(exit_trace_unwritable,
                        image_path + ": trace " + arguments.trace_path + " reached its limit of " +
                            std::to_string(platform::output_limit >> 20) +
                            " MiB; the run was ended there");
    case emulator::Result::standard_error_full:
        return complain(exit_standard_error_full,
                        image_path + ": the program's standard error reached its limit of " +
                            std::to_string(platform::output_limit >> 20) +
                            " MiB; the run was ended there");
    case emulator::Result::faulted:
        break;
    }
    return complain(exit_program_fault, image_path + ": " + result.fault);
}
