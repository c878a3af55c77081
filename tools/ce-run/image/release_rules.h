// The Windows CE releases ce-run stands in for, and each one's rules: what
// its loader checks in a program image before it creates the process, as
// read off those loaders' sources; and the platforms built on them, whose
// installers' rules, as the collected sources give them, stand beside. Every
// refusal of an image's headers and machine, and of a CAB, is here; how
// the image is then laid out and its imports bound is load_plan.h, the
// steps of an install installer.h.

#ifndef CE_RUN_RELEASE_RULES_H
#define CE_RUN_RELEASE_RULES_H

#include <cstdint>
#include <string>
#include <string_view>

#include "cpu.h"
#include "pe_image.h"
#include "setup_file.h"

namespace os {

enum Release { ce_3_0, ce_4_2, ce_5_0, ce_6_0, ce_7_0, ce_8_0, release_count };

const char *name(Release release);  // "4.2"

// A release as --os names it.
bool parse(std::string_view text, Release &release);

// The oldest release that is not older than the image's subsystem
// version, or the newest one.
Release for_image(const pe::Image &image);

// What the kernel passes the entry point in r0: the process handle up to
// 5.0, the process id from 6.0 on (values as a device might give).
inline std::uint32_t entry_process(Release release)
{
    return release <= ce_5_0 ? 0x4E2A0002u : 0x00CE0042u;
}

struct Device {
    Release release;
    std::uint16_t kernel_machine;  // the id a kernel built for the processor has
    bool strict_nx;                // a setting of CE 7.0 and 8.0 devices
};

// Why the device's loader refuses the image: every rule it breaks, in the
// order the loader checks them, or "" when it takes it.
// ce-run's own reader has already checked the sections against the file
// and the size of image, which every release does too.
std::string refusal(const pe::Image &image, const Device &device);

// The platforms --platform names: a device's installer, and the release
// whose loader runs what it installed.
enum class Reads { legacy, xml, xml_when_present };  // which setup file

struct Platform {
    const char *option;           // as --platform names it
    const char *name;             // "Pocket PC 2003"
    setup::Version version;       // the CE version its installer checks
    Release release;              // whose loader rules apply
    Reads reads;
    cpu::Model cpu;               // a typical device's processor
    bool checks_highest;          // Windows Mobile's does not
    bool checks_cabinet_length;   // the header's length against the file's
    bool refuses_compressed;
};

constexpr int platform_count = 12;
extern const Platform platforms[platform_count];

const Platform *find_platform(std::string_view option);
std::string platform_options();  // "pocketpc2000, ..., compact2013"

// Why the platform's installer refuses the cabinet itself, or "".
std::string cabinet_refusal(const Platform &platform, std::uint64_t header_length,
                            std::uint64_t file_size, bool compressed);

// Why it refuses what the setup file says: processor, versions, builds;
// or "".
std::string setup_refusal(const Platform &platform, const setup::Description &setup,
                          bool legacy);

// The device path of a setup file's directory, its macros expanded; false
// with the reason for a macro the installer does not know.
bool expand_directory(const std::string &directory, std::string &path, std::string &error);

// Whether the installer leaves a file that is already there as it is.
bool keeps_existing(std::uint32_t flags, std::int64_t existing_date, std::int64_t cabinet_date);

}  // namespace os

#endif
