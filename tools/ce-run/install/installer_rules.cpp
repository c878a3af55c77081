#include "installer_rules.h"

#include <algorithm>

#include "text.h"

namespace installer {

namespace {

// What every CE tool writes for ARM, and "no specific processor".
constexpr std::uint32_t processor_arm = 2577;
// CabWiz's "any build" as the highest: 0xE0000000 and above is no limit.
constexpr std::uint32_t any_build = 0xE0000000;
constexpr std::size_t max_path = 259;  // MAX_PATH without the terminating 0

struct Macro {
    int number;  // %CEn%
    const char *path;
    // In whose tables it stands: the Pocket PC 2000 list, the Pocket PC
    // and CE 6.0 list, and the macros every collected table agrees on.
    // Where no source gives the platform's table, the lenient reading
    // takes all seventeen of the handheld PC list, %CE11% to %CE14% and
    // %CE17% in the Start Menu forms an OEM manual gives for it.
    bool pocketpc2000, pocketpc, common;
};
constexpr Macro macros[] = {
    {1, "\\Program Files", true, true, true},
    {2, "\\Windows", true, true, true},
    {3, "\\Windows\\Desktop", false, false, false},
    {4, "\\Windows\\StartUp", true, true, true},
    {5, "\\My Documents", true, true, true},
    {6, "\\Program Files\\Accessories", false, false, false},
    {7, "\\Program Files\\Communications", false, false, false},
    {8, "\\Program Files\\Games", false, true, true},
    {9, "\\Program Files\\Pocket Outlook", false, false, false},
    {10, "\\Program Files\\Office", false, false, false},
    {11, "\\Windows\\Start Menu\\Programs", true, true, false},
    {12, "\\Windows\\Start Menu\\Programs\\Accessories", false, false, false},
    {13, "\\Windows\\Start Menu\\Programs\\Communications", false, false, false},
    {14, "\\Windows\\Start Menu\\Programs\\Games", true, true, false},
    {15, "\\Windows\\Fonts", true, true, true},
    {16, "\\Windows\\Recent", false, false, false},
    {17, "\\Windows\\Start Menu", true, true, false},
};

bool defines(const Platform &platform, Reading reading, const Macro &macro)
{
    switch (platform.macros) {
    case Macros::pocketpc2000: return macro.pocketpc2000;
    case Macros::pocketpc: return macro.pocketpc;
    case Macros::unsourced: return reading == Reading::lenient || macro.common;
    }
    return false;
}

// The path of "%CEn%" on the platform, or nullptr where it has none.
const char *macro_path(const Platform &platform, Reading reading, const std::string &name)
{
    for (const Macro &macro : macros) {
        if (name == "%CE" + std::to_string(macro.number) + "%" && defines(platform, reading, macro))
            return macro.path;
    }
    return nullptr;
}

// A refusal on a rule no source settles: the strict reading's, naming
// the question; the lenient reading takes what it is given.
Refusal unsourced(Reading reading, const std::string &why, const std::string &question)
{
    if (reading == Reading::lenient)
        return {};
    return {why, "no source says " + question};
}

std::string range(const setup::Description &setup)
{
    std::string highest = setup.highest_given ? setup.highest.text() : "no highest";
    if (setup.lowest.is_zero())
        return "up to " + highest;
    if (setup.highest.is_zero() && setup.format == setup::Format::legacy)
        return setup.lowest.text() + " and later";
    return setup.lowest.text() + " to " + highest;
}

// Why the highest version is not met. The .000's 0.0 is sourced as no
// limit; for the XML no source says so (every real file gives one).
Refusal highest_refusal(const Platform &platform, Reading reading,
                        const setup::Description &setup)
{
    if (!platform.checks_highest)
        return {};
    if (setup.format == setup::Format::xml && (!setup.highest_given || setup.highest.is_zero()))
        return unsourced(reading,
                         "its OSVersionMax is " +
                             (setup.highest_given ? setup.highest.text() : std::string("not given")) +
                             ", which no source reads as no limit, so the device (CE " +
                             platform.version.text() + ") is taken not to meet it",
                         "whether an OSVersionMax of 0.0, or none, is no limit");
    if (!setup.highest.is_zero() && platform.version > setup.highest)
        return {"it is for CE " + range(setup) + ", and the device runs CE " +
                    platform.version.text(),
                ""};
    return {};
}

// No source gives a device's build number: a limit on it is read
// strictly as one the device does not meet. The XML's highest must say
// "any build" (0xE0000000 and above, as CabWiz writes it); the .000 may
// also say 0.
Refusal build_refusal(Reading reading, const setup::Description &setup)
{
    const std::string question = "what build number the device has";
    if (setup.lowest_build != 0)
        return unsourced(reading,
                         "it asks for build " + std::to_string(setup.lowest_build) +
                             " or later, and no build number of the device is known",
                         question);
    bool xml = setup.format == setup::Format::xml;
    if (xml && !setup.highest_build_given)
        return unsourced(reading,
                         "it gives no BuildNumberMax, and no source says what an installer reads then",
                         "what an installer reads when _setup.xml gives no BuildNumberMax");
    if ((xml || setup.highest_build != 0) && setup.highest_build < any_build)
        return unsourced(reading,
                         "it asks for build " + std::to_string(setup.highest_build) +
                             " or earlier, and no build number of the device is known",
                         question);
    return {};
}

Refusal processor_refusal(const Platform &platform, Reading reading,
                          const setup::Description &setup)
{
    if (!setup.has_processor || setup.processor == 0)
        return {};
    if (setup.processor != processor_arm)
        return {"the setup file is for processor " + std::to_string(setup.processor) +
                    ", and ARM devices take " + std::to_string(processor_arm) + " or 0",
                ""};
    if (platform.takes_2577 == Sourced::unsourced)
        return unsourced(reading,
                         "the setup file is for processor 2577, which the " +
                             std::string(platform.name) + " installer checks against the "
                             "kernel's instruction set, and ARMv4 is not one of a kernel built "
                             "for ARMv5 to ARMv7",
                         "how the " + std::string(platform.name) +
                             " installer maps processor 2577 to an instruction set");
    return {};
}

// The unsupported platforms: a warning the user may pass, where the list
// names the device's platform; the Pocket PCs' name is "Palm PC". Which
// name the other platforms answer to no source says, nor what the
// installer does when nobody passes the warning: the strict reading
// refuses the CAB in both cases.
Refusal unsupported_refusal(const Platform &platform, Reading reading,
                            const setup::Description &setup)
{
    if (setup.unsupported.empty())
        return {};
    const std::string list = listed(setup.unsupported, [](const std::string &name) { return name; });
    if (platform.palm_pc == Sourced::yes) {
        for (const std::string &name : setup.unsupported) {
            if (lower_ascii(name).find("palm pc") != std::string::npos)
                return unsourced(reading,
                                 "its setup file lists the platform \"Palm PC\" among those it "
                                 "does not support (" + list + "): the installer warns, and no one "
                                 "passes the warning",
                                 "what the " + std::string(platform.name) +
                                     " installer does when nobody passes its warning of an "
                                     "unsupported platform");
        }
        return {};
    }
    return unsourced(reading,
                     "its setup file lists unsupported platforms (" + list +
                         "), and the device's platform name is not known",
                     "which platform name the " + std::string(platform.name) + " installer answers to");
}

}  // namespace

const Platform *find_platform(std::string_view option)
{
    int at = position(platforms, option, [](const Platform &platform) { return platform.option; });
    return at < 0 ? nullptr : &platforms[at];
}

std::string platform_options()
{
    return listed(platforms, [](const Platform &platform) { return platform.option; });
}

namespace {

const char *reads_text(Reads reads)
{
    switch (reads) {
    case Reads::legacy: return ".000";
    case Reads::xml: return "_setup.xml";
    case Reads::xml_when_present: return "_setup.xml, else .000";
    case Reads::both: return ".000 and _setup.xml";
    }
    return "";
}

}  // namespace

std::string setup_files_read(const Platform &platform)
{
    return reads_text(platform.reads);
}

Reads setup_files(const Platform &platform, Reading reading)
{
    return reading == Reading::strict ? platform.reads : platform.lenient_reads;
}

std::string setup_files_question(const Platform &platform)
{
    return "no source says whether the " + std::string(platform.name) + " installer " +
           (platform.reads == Reads::both ? "needs both setup files, or reads one"
                                          : "reads a .000 setup file");
}

Refusal cabinet_refusal(const Platform &platform, Reading reading, std::uint64_t header_length,
                        std::uint64_t file_size, bool compressed)
{
    if (platform.checks_cabinet == Sourced::no)
        return {};
    Refusal refusal;
    if (header_length != file_size)
        refusal = {"the cabinet says it is " + std::to_string(header_length) +
                       " bytes, the file has " + std::to_string(file_size) +
                       (file_size > header_length ? " (a signed CAB)" : ""),
                   "whether the " + std::string(platform.name) +
                       " installer checks the cabinet's length against the file's"};
    else if (compressed)
        refusal = {"the cabinet is compressed, and it installs only uncompressed ones",
                   "whether the " + std::string(platform.name) +
                       " installer reads compressed cabinets"};
    if (!refusal.refuses() || platform.checks_cabinet == Sourced::yes)
        return {refusal.why, ""};
    return unsourced(reading, refusal.why, refusal.question);
}

Refusal setup_refusal(const Platform &platform, Reading reading, const setup::Description &setup)
{
    const Refusal processor = processor_refusal(platform, reading, setup);
    if (processor.refuses())
        return processor;
    if (!setup.lowest.is_zero() && setup.lowest > platform.version)
        return {"it is for CE " + range(setup) + ", and the device runs CE " +
                    platform.version.text(),
                ""};
    for (const Refusal &refusal : {highest_refusal(platform, reading, setup),
                                   build_refusal(reading, setup),
                                   unsupported_refusal(platform, reading, setup)}) {
        if (refusal.refuses())
            return refusal;
    }
    return {};
}

std::vector<std::string> standard_directories(const Platform &platform)
{
    std::vector<std::string> out;
    if (*platform.volume != '\0')
        out.push_back(platform.volume);
    for (const Macro &macro : macros) {
        if (defines(platform, Reading::strict, macro))
            out.push_back(platform.volume + std::string(macro.path));
    }
    return out;
}

bool expand(const Platform &platform, Reading reading, const std::string &text,
            const std::string &install_dir, bool anywhere, std::string &out, Refusal &refusal)
{
    const std::string what = (anywhere ? "the text " : "the path ") + text;
    out.clear();
    for (std::size_t at = 0;;) {
        std::size_t start = text.find('%', at);
        std::size_t end = start == std::string::npos ? start : text.find('%', start + 1);
        if (end == std::string::npos) {
            if (!anywhere && start != std::string::npos) {
                refusal = {what + " holds " + text.substr(start) +
                               ", a macro the installer does not know",
                           ""};
                return false;
            }
            out += text.substr(at);
            return true;
        }
        std::string name = text.substr(start, end + 1 - start), expanded;
        const char *macro = macro_path(platform, reading, name);
        bool install_dir_named = name == "%InstallDir%" && !install_dir.empty();
        if (macro != nullptr) {
            expanded = platform.volume + std::string(macro);
        } else if (install_dir_named) {
            if (!expand(platform, reading, install_dir, "", false, expanded, refusal))
                return false;
        } else if (!anywhere || name.compare(0, 3, "%CE") == 0 || name == "%InstallDir%") {
            refusal = {what + " holds " + name + ", a macro the installer does not know", ""};
            if (macro_path(platform, Reading::lenient, name) != nullptr)
                refusal.question = "no source says which directory macros the " +
                                   std::string(platform.name) + " installer defines (" + name +
                                   " among them)";
            return false;
        } else {
            expanded = name;  // not a macro: text with percent signs
        }
        if (!anywhere && (start != 0 || (end + 1 < text.size() && text[end + 1] != '\\'))) {
            refusal = {what + " holds " + name + " where only a path's first part may be a macro", ""};
            return false;
        }
        out += text.substr(at, start - at) + expanded;
        at = end + 1;
    }
}

std::string path_problem(const std::string &path)
{
    if (path.size() < 2 || path[0] != '\\' || path.back() == '\\' ||
        path.find("\\\\") != std::string::npos)
        return "it is not a full device path";
    if (path.size() > max_path)
        return "it is " + std::to_string(path.size()) + " characters long, and a device path is "
               "at most " + std::to_string(max_path);
    for (char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '/' || c == ':' ||
            c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|')
            return "it holds a character no file name takes";
    }
    std::string padded = path + "\\";
    if (padded.find("\\.\\") != std::string::npos || padded.find("\\..\\") != std::string::npos)
        return "it holds a . or .. component, which the installer does not resolve";
    return "";
}

Placement place(std::uint32_t flags, bool exists, std::int64_t existing_date,
                std::int64_t cabinet_date)
{
    if (!exists)
        return flags & setup::only_over_existing ? Placement::skip : Placement::write;
    if (flags & setup::overwrite)
        return Placement::write;
    if (flags & setup::never_overwrite)
        return Placement::keep;
    if (flags & setup::keep_newer)
        return existing_date > cabinet_date ? Placement::keep : Placement::write;
    return Placement::ask;
}

}  // namespace installer
