#include "release_rules.h"

#include <algorithm>
#include <vector>

#include "hex.h"

namespace os {

namespace {

struct Version {
    const char *name;
    // As a subsystem version is written: CE 4.2 builds say 4.20.
    std::uint16_t major, minor;
};

constexpr Version versions[release_count] = {
    {"3.0", 3, 0}, {"4.2", 4, 20}, {"5.0", 5, 0},
    {"6.0", 6, 0}, {"7.0", 7, 0},  {"8.0", 8, 0},
};

constexpr std::uint32_t one_gib = 0x40000000;
constexpr std::uint32_t lowest_fixed_base = 0x00010000;
constexpr std::size_t optional_header_size = 0xE0;

int compare(std::uint16_t major, std::uint16_t minor, const Version &version)
{
    std::uint32_t a = std::uint32_t(major) << 16 | minor;
    std::uint32_t b = std::uint32_t(version.major) << 16 | version.minor;
    return a < b ? -1 : a > b ? 1 : 0;
}

std::string subsystem_version(const pe::Image &image)
{
    return std::to_string(image.subsystem_version[0]) + "." +
           std::to_string(image.subsystem_version[1]);
}

// The machines the release's loader takes: ARM only on 3.0, ARMNT only on
// 8.0, and in between ARM or the kernel's own id.
std::vector<std::uint16_t> machines_taken(const Device &device)
{
    switch (device.release) {
    case ce_3_0: return {pe::machine_arm};
    case ce_8_0: return {pe::machine_armnt};
    default:
        if (device.kernel_machine == pe::machine_arm)
            return {pe::machine_arm};
        return {pe::machine_arm, device.kernel_machine};
    }
}

// The directories CE 7.0 and 8.0 look into before they map the sections.
struct NamedDirectory {
    int index;
    const char *name;
};
constexpr NamedDirectory directories_within_image[] = {
    {pe::directory_import, "import"},
    {pe::directory_base_relocation, "base relocation"},
    {pe::directory_debug, "debug"},
};

}  // namespace

const char *name(Release release)
{
    return versions[release].name;
}

bool parse(std::string_view text, Release &release)
{
    for (int i = 0; i < release_count; i++) {
        if (text == versions[i].name) {
            release = Release(i);
            return true;
        }
    }
    return false;
}

Release for_image(const pe::Image &image)
{
    for (int i = 0; i < release_count; i++) {
        if (compare(image.subsystem_version[0], image.subsystem_version[1], versions[i]) <= 0)
            return Release(i);
    }
    return ce_8_0;
}

std::string refusal(const pe::Image &image, const Device &device)
{
    const Version &os = versions[device.release];
    std::string broken;
    auto breaks = [&broken](const std::string &rule) {
        broken += (broken.empty() ? "" : "; ") + rule;
    };

    if (image.optional_header_size != optional_header_size ||
        image.directory_count != pe::directory_entries)
        breaks("the optional header is " + hex(image.optional_header_size, 2) +
               " bytes with " + std::to_string(image.directory_count) +
               " data directories; the loader reads the section table at "
               "e_lfanew + 0xf8, so it must be 0xe0 bytes with 16");

    std::vector<std::uint16_t> machines = machines_taken(device);
    if (std::find(machines.begin(), machines.end(), image.machine) == machines.end()) {
        std::string taken;
        for (std::uint16_t machine : machines)
            taken += (taken.empty() ? "" : " or ") + hex(machine, 4);
        breaks("machine " + hex(image.machine, 4) + " is not " + taken);
    }

    if (image.subsystem != pe::subsystem_windows_ce_gui)
        breaks("subsystem " + std::to_string(image.subsystem) + " is not Windows CE (9)");
    int age = compare(image.subsystem_version[0], image.subsystem_version[1], os);
    if (age > 0)
        breaks("built for OS version " + subsystem_version(image) + ", newer than " +
               os.name);
    if (device.release == ce_8_0 && age < 0)
        breaks("built for OS version " + subsystem_version(image) + ", older than 8.0");

    if (image.characteristics & pe::file_dll)
        breaks("a DLL, not a program");
    if (image.size_of_image == 0 || image.size_of_image >= one_gib)
        breaks("size of image " + hex(image.size_of_image) + " is not under 1 GiB");
    const pe::DataDirectory &com = image.directories[pe::directory_com_descriptor];
    if (com.rva != 0 || com.size != 0)
        breaks("data directory 14 (COM descriptor) is set, so it is taken for "
               "managed code");

    std::uint32_t highest_base = device.release <= ce_6_0 ? 0x00400000 : 0x04000000;
    if ((image.characteristics & pe::file_relocs_stripped) &&
        (image.image_base < lowest_fixed_base || image.image_base > highest_base))
        breaks("its relocations are stripped and its image base " + hex(image.image_base) +
               " is not from " + hex(lowest_fixed_base) + " to " + hex(highest_base));

    if (device.release >= ce_7_0) {
        for (const NamedDirectory &named : directories_within_image) {
            const pe::DataDirectory &directory = image.directories[named.index];
            if (std::uint64_t(directory.rva) + directory.size > image.size_of_image)
                breaks(std::string("the ") + named.name + " directory at " +
                       hex(directory.rva) + " of " + hex(directory.size) +
                       " bytes is not within the size of image " +
                       hex(image.size_of_image));
        }
    }

    if (device.strict_nx && device.release >= ce_7_0 &&
        !(image.dll_characteristics & pe::dll_nx_compat))
        breaks("strict NX is on and DllCharacteristics " +
               hex(image.dll_characteristics, 4) + " lacks NX_COMPAT (0x0100)");
    return broken;
}

}  // namespace os

namespace os {

// Each platform's installer, from the collected sources (shared as
// ce-installers.md): which setup file it reads (section 2), which CE
// version it checks (the platform's own), whether it checks the highest
// version (section 3: Windows Mobile does not), and Pocket PC's two checks
// of the cabinet itself (section 3: 2003's are sourced; 2000 and 2002 are
// read the same way, which refuses sooner).
const Platform platforms[platform_count] = {
    {"pocketpc2000", "Pocket PC 2000", {3, 0}, ce_3_0, Reads::legacy, cpu::sa1110, true, true, true},
    {"pocketpc2002", "Pocket PC 2002", {3, 0}, ce_3_0, Reads::legacy, cpu::sa1110, true, true, true},
    {"smartphone2002", "Smartphone 2002", {3, 0}, ce_3_0, Reads::xml, cpu::sa1110, true, false, false},
    {"pocketpc2003", "Pocket PC 2003", {4, 20}, ce_4_2, Reads::legacy, cpu::pxa270, true, true, true},
    {"smartphone2003", "Smartphone 2003", {4, 21}, ce_4_2, Reads::xml, cpu::pxa270, true, false, false},
    {"windowsmobile5", "Windows Mobile 5", {5, 1}, ce_5_0, Reads::xml_when_present, cpu::pxa270,
     false, false, false},
    {"windowsmobile6", "Windows Mobile 6", {5, 2}, ce_5_0, Reads::xml_when_present, cpu::pxa270,
     false, false, false},
    {"ce4.2", "Windows CE 4.2", {4, 20}, ce_4_2, Reads::legacy, cpu::sa1110, true, false, false},
    {"ce5.0", "Windows CE 5.0", {5, 0}, ce_5_0, Reads::legacy, cpu::pxa270, true, false, false},
    {"ce6.0", "Windows Embedded CE 6.0", {6, 0}, ce_6_0, Reads::xml, cpu::pxa270, true, false, false},
    {"compact7", "Windows Embedded Compact 7", {7, 0}, ce_7_0, Reads::xml, cpu::cortex_a8, true,
     false, false},
    {"compact2013", "Windows Embedded Compact 2013", {8, 0}, ce_8_0, Reads::xml, cpu::cortex_a8,
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

bool after(const setup::Version &a, const setup::Version &b)
{
    return a.major != b.major ? a.major > b.major : a.minor > b.minor;
}

bool unlimited(const setup::Version &version)
{
    return version.major == 0 && version.minor == 0;
}

std::string text(const setup::Version &version)
{
    return std::to_string(version.major) + "." + std::to_string(version.minor);
}

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
    bool too_old = !unlimited(setup.lowest) && after(setup.lowest, platform.version);
    bool too_new = platform.checks_highest && !unlimited(setup.highest) &&
                   after(platform.version, setup.highest);
    if (too_old || too_new) {
        std::string range = unlimited(setup.lowest) ? "up to " + text(setup.highest)
                            : unlimited(setup.highest)
                                ? text(setup.lowest) + " and later"
                                : text(setup.lowest) + " to " + text(setup.highest);
        return "it is for CE " + range + ", and the device runs CE " + text(platform.version);
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

}  // namespace os
