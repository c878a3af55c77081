#include "installer_rules.h"

#include <algorithm>

#include "text.h"

namespace installer {

// Each platform's installer, from the collected sources (docs/sources.md):
// which setup file it reads, which CE version it checks (the platform's
// own), whether it checks the highest version (Windows Mobile's does
// not), the cabinet checks (Pocket PC 2003's are sourced; the other
// platforms that read only the .000, as it does, are read the same way),
// the macro table (sourced for Pocket PC 2000, for Windows Mobile's Pocket
// PC and for CE 6.0; elsewhere only the macros every table agrees on), and
// Smartphone 2003's storage volume. CE 5.0 reads both setup files, each
// of which must pass: its CabWiz is documented to write the XML, and
// reading the .000 is unsourced.
const Platform platforms[platform_count] = {
    {"pocketpc2000", "Pocket PC 2000", {3, 0}, loader::ce_3_0, Reads::legacy, cpu::sa1110, true,
     true, Macros::pocketpc2000, "", false},
    {"pocketpc2002", "Pocket PC 2002", {3, 0}, loader::ce_3_0, Reads::legacy, cpu::sa1110, true,
     true, Macros::pocketpc2000, "", false},
    {"smartphone2002", "Smartphone 2002", {3, 0}, loader::ce_3_0, Reads::xml, cpu::sa1110, true,
     false, Macros::unsourced, "", false},
    {"pocketpc2003", "Pocket PC 2003", {4, 20}, loader::ce_4_2, Reads::legacy, cpu::pxa270, true,
     true, Macros::pocketpc, "", false},
    {"smartphone2003", "Smartphone 2003", {4, 21}, loader::ce_4_2, Reads::xml, cpu::pxa270, true,
     false, Macros::unsourced, "\\Storage", false},
    {"windowsmobile5", "Windows Mobile 5", {5, 1}, loader::ce_5_0, Reads::xml_when_present,
     cpu::pxa270, false, false, Macros::pocketpc, "", true},
    {"windowsmobile6", "Windows Mobile 6", {5, 2}, loader::ce_5_0, Reads::xml_when_present,
     cpu::pxa270, false, false, Macros::pocketpc, "", true},
    {"ce4.2", "Windows CE 4.2", {4, 20}, loader::ce_4_2, Reads::legacy, cpu::sa1110, true, true,
     Macros::unsourced, "", false},
    {"ce5.0", "Windows CE 5.0", {5, 0}, loader::ce_5_0, Reads::both, cpu::pxa270, true, true,
     Macros::unsourced, "", false},
    {"ce6.0", "Windows Embedded CE 6.0", {6, 0}, loader::ce_6_0, Reads::xml, cpu::pxa270, true,
     false, Macros::pocketpc, "", false},
    {"compact7", "Windows Embedded Compact 7", {7, 0}, loader::ce_7_0, Reads::xml,
     cpu::cortex_a8, true, false, Macros::unsourced, "", false},
    {"compact2013", "Windows Embedded Compact 2013", {8, 0}, loader::ce_8_0, Reads::xml,
     cpu::cortex_a8, true, false, Macros::unsourced, "", false},
};

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
    bool pocketpc2000, pocketpc, unsourced;
};
constexpr Macro macros[] = {
    {1, "\\Program Files", true, true, true},
    {2, "\\Windows", true, true, true},
    {4, "\\Windows\\StartUp", true, true, true},
    {5, "\\My Documents", true, true, true},
    {8, "\\Program Files\\Games", false, true, true},
    {11, "\\Windows\\Start Menu\\Programs", true, true, false},
    {14, "\\Windows\\Start Menu\\Programs\\Games", true, true, false},
    {15, "\\Windows\\Fonts", true, true, true},
    {17, "\\Windows\\Start Menu", true, true, false},
};

bool defines(const Platform &platform, const Macro &macro)
{
    switch (platform.macros) {
    case Macros::pocketpc2000: return macro.pocketpc2000;
    case Macros::pocketpc: return macro.pocketpc;
    case Macros::unsourced: return macro.unsourced;
    }
    return false;
}

// The path of "%CEn%" on the platform, or nullptr where it has none.
const char *macro_path(const Platform &platform, const std::string &name)
{
    for (const Macro &macro : macros) {
        if (name == "%CE" + std::to_string(macro.number) + "%" && defines(platform, macro))
            return macro.path;
    }
    return nullptr;
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

// Why the highest version is not met, or "". The .000's 0.0 is sourced
// as no limit; for the XML no source says so, and every real file gives
// one, so 0.0 or none is a limit no device meets.
std::string highest_refusal(const Platform &platform, const setup::Description &setup)
{
    if (!platform.checks_highest)
        return "";
    if (setup.format == setup::Format::xml && (!setup.highest_given || setup.highest.is_zero()))
        return "its OSVersionMax is " +
               (setup.highest_given ? setup.highest.text() : std::string("not given")) +
               ", which no source reads as no limit, so the device (CE " +
               platform.version.text() + ") is taken not to meet it";
    if (!setup.highest.is_zero() && platform.version > setup.highest)
        return "it is for CE " + range(setup) + ", and the device runs CE " +
               platform.version.text();
    return "";
}

// No source gives a device's build number: a limit on it is read as one
// the device does not meet. The XML's highest must say "any build"
// (0xE0000000 and above, as CabWiz writes it); the .000 may also say 0.
std::string build_refusal(const setup::Description &setup)
{
    if (setup.lowest_build != 0)
        return "it asks for build " + std::to_string(setup.lowest_build) +
               " or later, and no build number of the device is known";
    bool xml = setup.format == setup::Format::xml;
    if (xml && !setup.highest_build_given)
        return "it gives no BuildNumberMax, and no source says what an installer reads then";
    if ((xml || setup.highest_build != 0) && setup.highest_build < any_build)
        return "it asks for build " + std::to_string(setup.highest_build) +
               " or earlier, and no build number of the device is known";
    return "";
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

std::string setup_files_read(const Platform &platform)
{
    switch (platform.reads) {
    case Reads::legacy: return ".000";
    case Reads::xml: return "_setup.xml";
    case Reads::xml_when_present: return "_setup.xml, else .000";
    case Reads::both: return ".000 and _setup.xml";
    }
    return "";
}

std::string cabinet_refusal(const Platform &platform, std::uint64_t header_length,
                            std::uint64_t file_size, bool compressed)
{
    if (platform.checks_cabinet && header_length != file_size)
        return "the cabinet says it is " + std::to_string(header_length) + " bytes, the file has " +
               std::to_string(file_size) + (file_size > header_length ? " (a signed CAB)" : "");
    if (platform.checks_cabinet && compressed)
        return "the cabinet is compressed, and it installs only uncompressed ones";
    return "";
}

std::string setup_refusal(const Platform &platform, const setup::Description &setup)
{
    if (setup.has_processor && setup.processor != processor_arm && setup.processor != 0)
        return "the setup file is for processor " + std::to_string(setup.processor) +
               ", and ARM devices take " + std::to_string(processor_arm) + " or 0";
    if (!setup.lowest.is_zero() && setup.lowest > platform.version)
        return "it is for CE " + range(setup) + ", and the device runs CE " +
               platform.version.text();
    std::string refusal = highest_refusal(platform, setup);
    return refusal.empty() ? build_refusal(setup) : refusal;
}

std::vector<std::string> standard_directories(const Platform &platform)
{
    std::vector<std::string> out;
    if (*platform.volume != '\0')
        out.push_back(platform.volume);
    for (const Macro &macro : macros) {
        if (defines(platform, macro))
            out.push_back(platform.volume + std::string(macro.path));
    }
    return out;
}

bool expand(const Platform &platform, const std::string &text, const std::string &install_dir,
            bool anywhere, std::string &out, std::string &error)
{
    const std::string what = (anywhere ? "the text " : "the path ") + text;
    out.clear();
    for (std::size_t at = 0;;) {
        std::size_t start = text.find('%', at);
        std::size_t end = start == std::string::npos ? start : text.find('%', start + 1);
        if (end == std::string::npos) {
            if (!anywhere && start != std::string::npos) {
                error = what + " holds " + text.substr(start) + ", a macro the installer does not know";
                return false;
            }
            out += text.substr(at);
            return true;
        }
        std::string name = text.substr(start, end + 1 - start), expanded;
        const char *macro = macro_path(platform, name);
        bool install_dir_named = name == "%InstallDir%" && !install_dir.empty();
        if (macro != nullptr) {
            expanded = platform.volume + std::string(macro);
        } else if (install_dir_named) {
            if (!expand(platform, install_dir, "", false, expanded, error))
                return false;
        } else if (!anywhere || name.compare(0, 3, "%CE") == 0 || name == "%InstallDir%") {
            error = what + " holds " + name + ", a macro the installer does not know";
            return false;
        } else {
            expanded = name;  // not a macro: text with percent signs
        }
        if (!anywhere && (start != 0 || (end + 1 < text.size() && text[end + 1] != '\\'))) {
            error = what + " holds " + name + " where only a path's first part may be a macro";
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
    // Without a flag the installer asks, and no one answers yes.
    return Placement::keep;
}

}  // namespace installer
