#include "loader_rules.h"

#include <algorithm>
#include <vector>

#include "hex.h"
#include "table.h"
#include "text.h"

namespace loader {

namespace {

struct ReleaseName {
    Release release;
    const char *name;
    Version version;
};

constexpr ReleaseName releases[] = {
    {ce_3_0, "3.0", {3, 0}}, {ce_4_2, "4.2", {4, 20}}, {ce_5_0, "5.0", {5, 0}},
    {ce_6_0, "6.0", {6, 0}}, {ce_7_0, "7.0", {7, 0}},  {ce_8_0, "8.0", {8, 0}},
};
static_assert(in_order(releases, release_count, &ReleaseName::release));

constexpr std::uint32_t one_gib = 0x40000000;
constexpr std::uint32_t lowest_fixed_base = 0x00010000;
constexpr std::size_t optional_header_size = 0xE0;

Version subsystem_version(const pe::Image &image)
{
    return {image.subsystem_version[0], image.subsystem_version[1]};
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
    return releases[release].name;
}

Version version(Release release)
{
    return releases[release].version;
}

bool parse(std::string_view text, Release &release)
{
    int at = position(releases, text, [](const ReleaseName &named) { return named.name; });
    release = at < 0 ? release : Release(at);
    return at >= 0;
}

std::string release_names()
{
    return listed(releases, [](const ReleaseName &release) { return release.name; });
}

Release for_image(const pe::Image &image)
{
    for (int i = 0; i < release_count; i++) {
        if (subsystem_version(image) <= releases[i].version)
            return Release(i);
    }
    return ce_8_0;
}

std::string refusal(const pe::Image &image, const Device &device)
{
    const ReleaseName &os = releases[device.release];
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
    Version built_for = subsystem_version(image);
    if (built_for > os.version)
        breaks("built for OS version " + built_for.text() + ", newer than " + os.name);
    if (device.release == ce_8_0 && built_for < os.version)
        breaks("built for OS version " + built_for.text() + ", older than 8.0");

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

}  // namespace loader
