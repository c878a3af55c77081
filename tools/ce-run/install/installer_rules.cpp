#include "installer_rules.h"

#include <algorithm>

namespace installer {

// Each platform's installer, from the collected sources: which setup file it reads (section 2), which CE
// version it checks (the platform's own), whether it checks the highest
// version (section 3: Windows Mobile does not), and Pocket PC's two checks
// of the cabinet itself (section 3: 2003's are sourced; 2000 and 2002 are
// read the same way, which refuses sooner).
const Platform platforms[platform_count] = {
    {"pocketpc2000", "Pocket PC 2000", {3, 0}, loader::ce_3_0, Reads::legacy, cpu::sa1110, true, true, true},
    {"pocketpc2002", "Pocket PC 2002", {3, 0}, loader::ce_3_0, Reads::legacy, cpu::sa1110, true, true, true},
    {"smartphone2002", "Smartphone 2002", {3, 0}, loader::ce_3_0, Reads::xml, cpu::sa1110, true, false, false},
    {"pocketpc2003", "Pocket PC 2003", {4, 20}, loader::ce_4_2, Reads::legacy, cpu::pxa270, true, true, true},
    {"smartphone2003", "Smartphone 2003", {4, 21}, loader::ce_4_2, Reads::xml, cpu::pxa270, true, false, false},
    {"windowsmobile5", "Windows Mobile 5", {5, 1}, loader::ce_5_0, Reads::xml_when_present, cpu::pxa270,
     false, false, false},
    {"windowsmobile6", "Windows Mobile 6", {5, 2}, loader::ce_5_0, Reads::xml_when_present, cpu::pxa270,
     false, false, false},
    {"ce4.2", "Windows CE 4.2", {4, 20}, loader::ce_4_2, Reads::legacy, cpu::sa1110, true, false, false},
    {"ce5.0", "Windows CE 5.0", {5, 0}, loader::ce_5_0, Reads::legacy, cpu::pxa270, true, false, false},
    {"ce6.0", "Windows Embedded CE 6.0", {6, 0}, loader::ce_6_0, Reads::xml, cpu::pxa270, true, false, false},
    {"compact7", "Windows Embedded Compact 7", {7, 0}, loader::ce_7_0, Reads::xml, cpu::cortex_a8, true,
     false, false},
    {"compact2013", "Windows Embedded Compact 2013", {8, 0}, loader::ce_8_0, Reads::xml, cpu::cortex_a8,
     true, false, false},
};

namespace {

// What every CE tool writes for ARM, and "no specific processor".
constexpr std::uint32_t processor_arm = 2577;
// CabWiz's "any build" as the highest: 0xE0000000 and above is no limit.
constexpr std::uint32_t any_build = 0xE0000000;

struct Macro {
    const char *name;
    const char *path;
};
constexpr Macro macros[] = {
    {"%CE1%", "\\Program Files"},
    {"%CE2%", "\\Windows"},
};

}  // namespace

const Platform *find_platform(std::string_view option)
{
    for (const Platform &platform : platforms) {
        if (option == platform.option)
            return &platform;
    }
    return nullptr;
}

std::string platform_options()
{
    std::string out;
    for (const Platform &platform : platforms)
        out += (out.empty() ? "" : ", ") + std::string(platform.option);
    return out;
}

std::string cabinet_refusal(const Platform &platform, std::uint64_t header_length,
                            std::uint64_t file_size, bool compressed)
{
    if (platform.checks_cabinet_length && header_length != file_size)
        return "the cabinet says it is " + std::to_string(header_length) + " bytes, the file has " +
               std::to_string(file_size) + (file_size > header_length ? " (a signed CAB)" : "");
    if (platform.refuses_compressed && compressed)
        return "the cabinet is compressed, and it installs only uncompressed ones";
    return "";
}

std::string setup_refusal(const Platform &platform, const setup::Description &setup, bool legacy)
{
    if (legacy && setup.processor != processor_arm && setup.processor != 0)
        return "the setup file is for processor " + std::to_string(setup.processor) +
               ", and ARM devices take " + std::to_string(processor_arm) + " or 0";
    bool too_old = !setup.lowest.is_zero() && setup.lowest > platform.version;
    bool too_new = platform.checks_highest && !setup.highest.is_zero() &&
                   platform.version > setup.highest;
    if (too_old || too_new) {
        std::string range = setup.lowest.is_zero() ? "up to " + setup.highest.text()
                            : setup.highest.is_zero()
                                ? setup.lowest.text() + " and later"
                                : setup.lowest.text() + " to " + setup.highest.text();
        return "it is for CE " + range + ", and the device runs CE " + platform.version.text();
    }
    // No source gives a device's build number: a limit on it is read as
    // one the device does not meet.
    if (setup.lowest_build != 0)
        return "it asks for build " + std::to_string(setup.lowest_build) +
               " or later, and no build number of the device is known";
    if (setup.highest_build != 0 && setup.highest_build < any_build)
        return "it asks for build " + std::to_string(setup.highest_build) +
               " or earlier, and no build number of the device is known";
    return "";
}

bool expand_directory(const std::string &directory, std::string &path, std::string &error)
{
    path.clear();
    std::size_t start = 0;
    while (start <= directory.size()) {
        std::size_t end = std::min(directory.find('\\', start), directory.size());
        std::string part = directory.substr(start, end - start);
        const Macro *macro = nullptr;
        for (const Macro &m : macros)
            macro = part == m.name ? &m : macro;
        if (macro != nullptr && start == 0) {
            path = macro->path;
        } else if (part.find('%') != std::string::npos) {
            error = "the directory " + directory + " holds " + part +
                    ", a macro the installer does not know";
            return false;
        } else if (part.empty() ? start != 0 : start == 0) {
            error = "the directory " + directory + " is not a full path";
            return false;
        } else if (!part.empty()) {
            path += "\\" + part;
        }
        start = end + 1;
    }
    if (path.empty()) {
        error = "a directory is empty";
        return false;
    }
    return true;
}

bool keeps_existing(std::uint32_t flags, std::int64_t existing_date, std::int64_t cabinet_date)
{
    if (flags & setup::overwrite)
        return false;
    if (flags & setup::never_overwrite)
        return true;
    if (flags & setup::keep_newer)
        return existing_date > cabinet_date;
    // Without a flag the installer asks, and no one answers yes.
    return true;
}

}  // namespace installer
