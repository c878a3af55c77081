#include "options.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <getopt.h>
#include <sys/stat.h>

#include "input_file.h"
#include "text.h"

namespace {

// The usage's text before and after the lists that the tables give.
const char usage_head[] =
    "usage: ce-run [OPTION]... [--] IMAGE [ARGUMENT]...\n"
    "       ce-run --platform NAME [OPTION]... --install CAB [--] [ARGUMENT]...\n"
    "       ce-run --check [--fleet FILE] [--format FORMAT] [OPTION]... CAB...\n"
    "Runs the Windows CE ARM program IMAGE under emulation, its ARGUMENTs\n"
    "forming its command line, and exits with the program's exit status.\n"
    "With --install, installs CAB as the platform's installer would, then runs\n"
    "the executable it installed. With --check, installs each CAB on every\n"
    "platform, or on each device of a fleet file, and says where it installs.\n"
    "\n"
    "  --check                 install each CAB (install only, or then --run's\n"
    "                          program) on every platform (or --platform's), each\n"
    "                          as the single run would, and print a line for each\n"
    "                          CAB and device: installs, refused: REASON, cannot\n"
    "                          tell: QUESTION; exit 0 when all install, else 65\n"
    "                          when none is in doubt, else 75\n"
    "  --fleet FILE            with --check: the devices of the TOML FILE instead\n"
    "  --format FORMAT         with --check: text (default), json or junit\n";
const char usage_tail[] =
    "  --platforms             list the platforms: name, CE version, loader rules,\n"
    "                          setup files read, processor, full name; and exit\n"
    "  --install CAB           install CAB on the platform and run what it installs;\n"
    "                          may be repeated: the device takes each CAB in turn,\n"
    "                          and the first that does not install ends the run\n"
    "  --install-only          install, and run nothing\n"
    "  --run PATH              run the installed program at PATH (as\n"
    "                          \\Program Files\\App\\App.exe); default: the only\n"
    "                          program the CAB installs\n"
    "  --setup-dll ANSWER      continue or cancel: what the CAB's setup DLL answers\n"
    "                          to Install_Init; without it, a CAB with one ends as\n"
    "                          not modelled (75)\n"
    "  --compare-setup-files   install from each of the CAB's two setup files and\n"
    "                          say whether both leave the same; run nothing\n"
    "  --device-file PATH=FILE  FILE is on the device at PATH (as \\Windows\\x.exe)\n"
    "                          before the install, dated as FILE; may be repeated\n"
    "  --device-value KEY\\NAME=TEXT  the device's registry holds the string TEXT\n"
    "                          (as HKLM\\SOFTWARE\\App\\Name=x) before the install;\n"
    "                          may be repeated\n"
    "@SECURITY@"
    "  --store STORE=FILE      the device's store spc, privileged or unprivileged\n"
    "                          holds the root certificates of the PEM FILE; may be\n"
    "                          repeated; spc=FILE,role=MASK gives them a role mask\n"
    "                          (decimal; without one, the role is unsourced)\n"
    "  --policy ID=VALUE       sets one of the policies 4101, 4102, 4119, 4120, 4122,\n"
    "                          4123 over the configuration's (decimal); may be\n"
    "                          repeated\n"
    "  --answer yes|no         the user's answer to a security prompt; default:\n"
    "                          nobody answers, which counts as no\n"
    "  --device-date DATE      the device's date, YYYY-MM-DD (UTC), on which a\n"
    "                          signer's validity is judged; default: not judged\n"
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
    "Exit status: the program's own (0 to 255), or ce-run's:\n";

constexpr std::size_t help_indent = 26, help_width = 78;

// ce-run's own exit statuses, as --help lists them; docs/ce-run.md's table
// begins each row with the same text (a test holds the two together).
struct StatusRow {
    ExitStatus status;
    const char *meaning;
};
constexpr StatusRow statuses[] = {
    {exit_usage, "usage error"},
    {exit_refused, "the device's loader or installer refuses the image or the CAB"},
    {exit_unreadable_input, "an input cannot be read: the image, the CAB, a --device-file, a --store"},
    {exit_missing_import, "an import the device lacks keeps the program from running"},
    {exit_program_fault, "the program faulted, or waits for what never comes"},
    {exit_instruction_limit, "the instruction limit was reached"},
    {exit_status_too_large, "the program's exit status is outside 0..255"},
    {exit_trace_unwritable, "the trace cannot be written, or reached 64 MiB"},
    {exit_standard_error_full, "the program's standard error reached 64 MiB"},
    {exit_not_modelled, "ce-run cannot tell: what it does not model, or an open question"},
    {exit_setup_files_differ, "the CAB's two setup files do not install the same"},
};

// The statuses as --help lists them: "  64  usage error".
std::string status_list()
{
    std::string out;
    for (const StatusRow &row : statuses)
        out += "  " + std::to_string(int(row.status)) + "  " + row.meaning + "\n";
    return out;
}

// Words after the option's column, wrapped as the usage's lines are.
std::string wrapped(const std::vector<std::string> &words)
{
    std::string out, line;
    for (const std::string &word : words) {
        if (!line.empty() && help_indent + line.size() + 1 + word.size() > help_width) {
            out += std::string(help_indent, ' ') + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return out + std::string(help_indent, ' ') + line + "\n";
}

// The items, "a, b or c".
std::string or_listed(std::vector<std::string> items)
{
    std::string out;
    for (std::size_t i = 0; i < items.size(); i++)
        out += (i == 0 ? "" : i + 1 == items.size() ? " or " : ", ") + items[i];
    return out;
}

// The platforms that have Windows Mobile's security configurations, by
// name (Name) or as --platform names them.
std::string security_platforms(bool options)
{
    std::vector<std::string> names;
    for (const installer::Platform &platform : installer::platforms) {
        if (platform.has_security_model)
            names.push_back(options ? platform.option : platform.name);
    }
    return or_listed(names);
}

// --security's help, from the platforms and configurations it names.
std::string security_help()
{
    std::string configurations = security::configuration_names();
    std::size_t last = configurations.rfind(", ");
    configurations.replace(last, 2, " or ");
    std::string text = "the " + security_platforms(false) + " device's security configuration: " +
                       configurations + "; its rules and Authenticode checks apply to the CAB "
                       "and the program";
    std::vector<std::string> words;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t space = std::min(text.find(' ', at), text.size());
        words.push_back(text.substr(at, space - at));
        at = space + 1;
    }
    return "  --security CONFIGURATION\n" + wrapped(words);
}

// The platforms by release, "pocketpc2000, ..., smartphone2002 (3.0),": a
// release's platforms stay on one line.
std::string platform_list()
{
    std::vector<std::string> groups;
    for (int release = 0; release < loader::release_count; release++) {
        std::string group;
        for (const installer::Platform &platform : installer::platforms) {
            if (platform.release == release)
                group += std::string(platform.option) + ", ";
        }
        if (!group.empty())
            groups.push_back(group.substr(0, group.size() - 2) + " (" +
                             loader::name(loader::Release(release)) + "),");
    }
    groups.back().pop_back();
    return wrapped(groups);
}

std::string usage()
{
    std::string releases = loader::release_names();
    std::size_t last = releases.rfind(", ");
    releases.replace(last, 2, " or ");
    std::vector<std::string> os = {"the", "device's", "release:"};
    std::string rest = releases + ", whose loader rules apply; default: the oldest that takes "
                                  "the image's subsystem version";
    for (std::size_t at = 0; at <= rest.size();) {
        std::size_t space = std::min(rest.find(' ', at), rest.size());
        os.push_back(rest.substr(at, space - at));
        at = space + 1;
    }
    std::string os_help = wrapped(os);
    std::string tail = usage_tail;
    const std::string security = "@SECURITY@";
    tail.replace(tail.find(security), security.size(), security_help());
    return usage_head + ("  --os VERSION            " + os_help.substr(help_indent)) +
           "  --platform NAME         the device's platform, whose installer's and\n"
           "                          release's rules apply (not with --os):\n" +
           platform_list() + tail + status_list();
}

bool parse_count(const std::string &text, std::uint64_t &count)
{
    if (text.empty() || text.size() > 12 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    count = std::stoull(text);
    return count > 0;
}

std::string cpu_names()
{
    std::string out;
    for (int i = 0; i < cpu::model_count; i++)
        out += std::string(i == 0 ? "" : i + 1 == cpu::model_count ? " or " : ", ") +
               cpu::models[i].option;
    return out;
}

using Apply = int (*)(const std::string &value, Options &out);  // -1 to go on, else the exit status

// A decimal number up to 0xFFFFFFFF.
bool parse_number(const std::string &text, std::uint32_t &value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoull(text) > 0xFFFFFFFFull)
        return false;
    value = std::uint32_t(std::stoull(text));
    return true;
}

// spc=FILE[,role=MASK], privileged=FILE or unprivileged=FILE. An SPC root
// given no role has the role no source settles.
int store(const std::string &value, Options &out)
{
    const std::pair<const char *, security::Store> stores[] = {
        {"spc=", security::Store::spc}, {"privileged=", security::Store::privileged},
        {"unprivileged=", security::Store::unprivileged}};
    std::string error;
    for (auto [prefix, into] : stores) {
        if (value.rfind(prefix, 0) != 0)
            continue;
        std::string file = value.substr(std::strlen(prefix));
        std::size_t role_at = file.rfind(",role=");
        std::uint32_t role = 0;
        bool role_given = into == security::Store::spc && role_at != std::string::npos;
        if (role_given && !parse_number(file.substr(role_at + 6), role))
            return complain(exit_usage, "--store: the role in '" + value +
                                            "' is not a decimal role mask");
        file = role_given ? file.substr(0, role_at) : file;
        std::vector<std::uint8_t> pem;
        if (!read_file(file, pem, error))
            return complain(exit_unreadable_input, "--store: cannot read " + file + ": " + error);
        if (!security::load_roots(pem, file, into, out.security.roots, error,
                                  role_given ? std::optional<std::uint32_t>(role) : std::nullopt))
            return complain(exit_unreadable_input, "--store: " + error);
        out.store_files.push_back(file);
        out.stores_given = true;
        return -1;
    }
    return complain(exit_usage, "--store: '" + value +
                                    "' is not spc=FILE[,role=MASK], privileged=FILE or unprivileged=FILE");
}

// ID=VALUE for one of the policies ce-run models.
int policy(const std::string &value, Options &out)
{
    std::size_t equals = value.find('=');
    std::uint32_t id = 0, setting = 0;
    std::string ids = listed(security::modelled_policies,
                             [](security::Policy modelled) { return std::to_string(modelled); });
    if (equals == std::string::npos || !parse_number(value.substr(0, equals), id) ||
        !parse_number(value.substr(equals + 1), setting))
        return complain(exit_usage, "--policy: '" + value + "' is not ID=VALUE, both decimal");
    if (!security::modelled(id))
        return complain(exit_usage, "--policy: ce-run models the policies " + ids + ", not " +
                                        std::to_string(id));
    out.policies_given[id] = setting;
    return -1;
}

int device_file(const std::string &value, Options &out)
{
    std::size_t equals = value.find('=');
    if (equals == std::string::npos || equals + 1 == value.size() ||
        !installer::path_problem(value.substr(0, equals)).empty())
        return complain(exit_usage, "--device-file: '" + value +
                                        "' is not PATH=FILE with PATH a full device path "
                                        "(as \\Windows\\stowkey.exe)");
    out.device_files.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    return -1;
}

int device_date(const std::string &value, Options &out)
{
    struct tm date = {};
    const char *end = strptime(value.c_str(), "%Y-%m-%d", &date);
    if (end == nullptr || *end != '\0' || value.size() != 10)
        return complain(exit_usage, "--device-date: '" + value + "' is not a date YYYY-MM-DD");
    out.security.date = std::int64_t(timegm(&date));
    out.answer_given = true;  // the security model's, as --answer is
    return -1;
}

int platforms(const std::string &, Options &)
{
    for (const installer::Platform &platform : installer::platforms)
        std::printf("%-15s %-5s %-4s %-22s %-10s %s\n", platform.option,
                    platform.version.text().c_str(), loader::name(platform.release),
                    installer::setup_files_read(platform).c_str(),
                    cpu::models[platform.cpu].option, platform.name);
    return 0;
}

// Each option as getopt_long takes it, and what it does with its value:
// a row is the whole of an option, so one cannot be listed and forgotten.
struct OptionRow {
    const char *name;
    bool takes_value;
    Apply apply;
};

constexpr OptionRow option_rows[] = {
    {"help", false, [](const std::string &, Options &) {
         std::fputs(usage().c_str(), stdout);
         return 0;
     }},
    {"version", false, [](const std::string &, Options &) {
         std::puts("ce-run (stowkey) " STOWKEY_VERSION);
         return 0;
     }},
    {"stats", false, [](const std::string &, Options &out) { return out.stats = true, -1; }},
    {"strict-nx", false, [](const std::string &, Options &out) {
         return out.device.strict_nx = true, -1;
     }},
    {"flush", true, [](const std::string &value, Options &out) {
         std::string error;
         return scripted::set_flush_result(out.flush, value, error)
                    ? -1 : complain(exit_usage, "--flush: " + error);
     }},
    {"missing", true, [](const std::string &value, Options &out) {
         std::string error;
         return exports::set_missing(out.device.missing, value, error)
                    ? -1 : complain(exit_usage, "--missing: " + error);
     }},
    {"os", true, [](const std::string &value, Options &out) {
         return (out.release_given = loader::parse(value, out.device.release))
                    ? -1 : complain(exit_usage, "--os: '" + value + "' is not one of " +
                                                    loader::release_names());
     }},
    {"cpu", true, [](const std::string &value, Options &out) {
         return (out.cpu_given = cpu::parse(value, out.cpu))
                    ? -1 : complain(exit_usage, "--cpu: '" + value + "' is not " + cpu_names());
     }},
    {"trace", true, [](const std::string &value, Options &out) {
         return !(out.trace_path = value).empty()
                    ? -1 : complain(exit_usage, "--trace: the file name is empty");
     }},
    {"max-instructions", true, [](const std::string &value, Options &out) {
         return parse_count(value, out.max_instructions)
                    ? -1 : complain(exit_usage, "--max-instructions: '" + value +
                                                    "' is not a count from 1 to 999999999999");
     }},
    {"platform", true, [](const std::string &value, Options &out) {
         return (out.platform = installer::find_platform(value)) != nullptr
                    ? -1 : complain(exit_usage, "--platform: '" + value + "' is not one of " +
                                                    installer::platform_options());
     }},
    {"install", true, [](const std::string &value, Options &out) {
         if (value.empty())
             return complain(exit_usage, "--install: the file name is empty");
         out.cab_paths.push_back(value);
         return -1;
     }},
    {"device-file", true, device_file},
    {"platforms", false, platforms},
    {"install-only", false, [](const std::string &, Options &out) {
         return out.install_only = true, -1;
     }},
    {"run", true, [](const std::string &value, Options &out) {
         return installer::path_problem(value).empty()
                    ? (out.run_path = value, -1)
                    : complain(exit_usage, "--run: '" + value + "' is not a full device path "
                                           "(as \\Program Files\\App\\App.exe)");
     }},
    {"setup-dll", true, [](const std::string &value, Options &out) {
         if (value != "continue" && value != "cancel")
             return complain(exit_usage, "--setup-dll: '" + value + "' is not continue or cancel");
         out.setup_dll = value == "continue" ? installer::SetupDll::continues
                                             : installer::SetupDll::cancels;
         return -1;
     }},
    {"compare-setup-files", false, [](const std::string &, Options &out) {
         return out.compare_setup_files = true, -1;
     }},
    {"device-value", true, [](const std::string &value, Options &out) {
         std::string error;
         device_contents::Value preset;
         if (!installer::parse_device_value(value, preset, error))
             return complain(exit_usage, "--device-value: " + error);
         out.device_values.push_back(preset);
         return -1;
     }},
    {"security", true, [](const std::string &value, Options &out) {
         return (out.security_given = security::parse(value, out.security.configuration))
                    ? -1 : complain(exit_usage, "--security: '" + value + "' is not one of " +
                                                    security::configuration_names());
     }},
    {"store", true, store},
    {"policy", true, policy},
    {"answer", true, [](const std::string &value, Options &out) {
         if (value != "yes" && value != "no")
             return complain(exit_usage, "--answer: '" + value + "' is not yes or no");
         out.security.answer = value == "yes" ? security::Answer::yes : security::Answer::no;
         out.answer_given = true;
         return -1;
     }},
    {"device-date", true, device_date},
    {"check", false, [](const std::string &, Options &out) { return out.check = true, -1; }},
    {"fleet", true, [](const std::string &value, Options &out) {
         return !(out.fleet_path = value).empty()
                    ? -1 : complain(exit_usage, "--fleet: the file name is empty");
     }},
    {"format", true, [](const std::string &value, Options &out) {
         if (value != "text" && value != "json" && value != "junit")
             return complain(exit_usage, "--format: '" + value + "' is not text, json or junit");
         out.format = value;
         return -1;
     }},
};
constexpr int option_count = int(sizeof option_rows / sizeof option_rows[0]);

constexpr bool every_option_applied()
{
    for (const OptionRow &row : option_rows) {
        if (row.name == nullptr || row.apply == nullptr)
            return false;
    }
    return true;
}
static_assert(every_option_applied(), "an option without what it does");

// getopt_long's table, from the rows: an option's value is its row's
// index.
std::vector<struct option> getopt_table()
{
    std::vector<struct option> out;
    for (int i = 0; i < option_count; i++)
        out.push_back({option_rows[i].name, option_rows[i].takes_value ? required_argument : no_argument,
                       nullptr, i});
    out.push_back({nullptr, 0, nullptr, 0});
    return out;
}

// --check's options: what a check takes and what it does not.
int check_check(const Options &out)
{
    if (!out.check) {
        if (!out.fleet_path.empty() || out.format != "text")
            return complain(exit_usage, "--fleet and --format are --check's");
        return -1;
    }
    const std::pair<bool, const char *> single_run_only[] = {
        {!out.cab_paths.empty(), "--check installs the CABs it is given: not with --install"},
        {out.release_given, "--check names devices by platform: not with --os"},
        {out.compare_setup_files, "--check installs: not with --compare-setup-files"},
        {!out.trace_path.empty(), "--check traces nothing: --format json holds each install's lines"},
        {out.platform != nullptr && !out.fleet_path.empty(),
         "--fleet names the devices: not with --platform"}};
    for (auto [given, message] : single_run_only) {
        if (given)
            return complain(exit_usage, message);
    }
    return -1;
}

// Options that do not go together; -1 when they do, else the exit status.
int check_together(const Options &out)
{
    int status = check_check(out);
    if (status >= 0 || out.check)
        return status;
    if (out.platform != nullptr && out.release_given)
        return complain(exit_usage, "--platform and --os both name the device: give one");
    if (!out.cab_paths.empty() && out.platform == nullptr)
        return complain(exit_usage, "--install needs --platform: the installer is the platform's");
    if (out.cab_paths.size() > 1 && out.compare_setup_files)
        return complain(exit_usage, "--compare-setup-files compares the setup files of one CAB: "
                                    "give one --install");
    if (out.cab_paths.empty()) {
        const std::pair<bool, const char *> install_options[] = {
            {!out.device_files.empty(), "--device-file places files for --install"},
            {!out.device_values.empty(), "--device-value places values for --install"},
            {out.install_only, "--install-only needs --install"},
            {out.compare_setup_files, "--compare-setup-files needs --install"},
            {!out.run_path.empty(), "--run names a program --install installs"},
            {out.setup_dll != installer::SetupDll::unanswered, "--setup-dll answers for --install"}};
        for (auto [given, message] : install_options) {
            if (given)
                return complain(exit_usage, message);
        }
    }
    if (!out.run_path.empty() && (out.install_only || out.compare_setup_files))
        return complain(exit_usage, "--run runs a program, and --install-only and "
                                    "--compare-setup-files run none");
    if ((out.stores_given || out.answer_given || !out.policies_given.empty()) && !out.security_given)
        return complain(exit_usage, "--store, --policy, --answer and --device-date are the security "
                                    "model's: give --security");
    if (out.security_given && (out.platform == nullptr || !out.platform->has_security_model))
        return complain(exit_usage, std::string("--security: ") +
                                        (out.platform == nullptr ? "a device named by --os"
                                                                 : out.platform->name) +
                                        " has no security configurations: give --platform " +
                                        security_platforms(true));
    return -1;
}

bool same_file(const std::string &a, const std::string &b)
{
    struct stat first, second;
    return a == b || (stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
                      first.st_dev == second.st_dev && first.st_ino == second.st_ino);
}

// A trace that would overwrite an input; -1 when it would not, else the
// exit status.
int check_trace(const Options &out)
{
    if (out.trace_path.empty())
        return -1;
    std::vector<std::pair<std::string, std::string>> inputs;
    if (out.cab_paths.empty())
        inputs.push_back({out.image_path, "the image"});
    for (const std::string &cab : out.cab_paths)
        inputs.push_back({cab, "the CAB"});
    for (const auto &[path, host_file] : out.device_files)
        inputs.push_back({host_file, "the --device-file of " + path});
    for (const std::string &file : out.store_files)
        inputs.push_back({file, "a --store file"});
    for (const auto &[input, what] : inputs) {
        if (same_file(out.trace_path, input))
            return complain(exit_usage, "--trace: " + out.trace_path + " is " + what +
                                            " itself, which the trace would overwrite");
    }
    return -1;
}

// The security model's policies: the configuration's preset for the
// platform, with --policy's over it.
void settle_security(Options &out)
{
    if (!out.security_given)
        return;
    out.security.grant_manager_default = out.platform->grant_manager;
    out.security.policies = security::preset(out.security.configuration, out.platform->grant_manager);
    for (const auto &[id, setting] : out.policies_given)
        out.security.policies[id] = setting;
}

std::string complaint_context;

}  // namespace

void set_complaint_context(const std::string &context)
{
    complaint_context = context;
}

int apply_option(const std::string &name, const std::string &value, Options &out)
{
    for (const OptionRow &row : option_rows) {
        if (name == row.name)
            return row.apply(value, out);
    }
    return complain(exit_usage, "unknown option --" + name);
}

int settle_device(Options &out)
{
    int status = check_together(out);
    if (status < 0)
        settle_security(out);
    return status;
}

int complain(int status, const std::string &message)
{
    std::fprintf(stderr, "ce-run: %s%s\n", complaint_context.c_str(), message.c_str());
    return status;
}

int parse_options(int argc, char **argv, Options &out)
{
    // "+": the first argument that is no option ends them, so that the
    // program's own arguments are never taken for ce-run's; ":": a missing
    // value is told apart from an unknown option.
    opterr = 0;
    optind = 1;
    int option;
    const std::vector<struct option> table = getopt_table();
    while ((option = getopt_long(argc, argv, "+:", table.data(), nullptr)) != -1) {
        if (option == '?')
            return complain(exit_usage, "unknown option " +
                                            (optopt != 0 ? "-" + std::string(1, char(optopt))
                                                         : std::string(argv[optind - 1])) +
                                            " (see ce-run --help)");
        if (option == ':')
            return complain(exit_usage, std::string(argv[optind - 1]) + " needs a value");
        if (option < 0 || option >= option_count)
            return complain(exit_usage, "unknown option (see ce-run --help)");
        int status = option_rows[option].apply(optarg != nullptr ? optarg : "", out);
        if (status >= 0)
            return status;
    }
    int status = check_together(out);
    if (status >= 0)
        return status;
    if (out.check) {
        out.check_cabs.assign(argv + optind, argv + argc);
        return out.check_cabs.empty() ? complain(exit_usage, "--check: no CAB given") : -1;
    }
    settle_security(out);
    int first_argument = optind;
    if (out.cab_paths.empty()) {
        if (optind == argc)
            return complain(exit_usage, "no IMAGE given (see ce-run --help)");
        out.image_path = argv[optind];
        first_argument++;
    }
    out.program_arguments.assign(argv + first_argument, argv + argc);
    return check_trace(out);
}
