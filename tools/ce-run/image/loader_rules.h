// The Windows CE releases ce-run stands in for, and each one's loader
// rules: what it checks in a program image before it creates the
// process, as read off those loaders' sources. How a taken image is then
// laid out and its imports bound is load_plan.h.
//
// The image room (pe_image, loader_rules, exports, load_plan) reads and
// judges program images; it uses common/ and nothing else of ce-run.

#ifndef CE_RUN_LOADER_RULES_H
#define CE_RUN_LOADER_RULES_H

#include <cstdint>
#include <string>
#include <string_view>

#include "exports.h"
#include "pe_image.h"
#include "version.h"

namespace loader {

enum Release { ce_3_0, ce_4_2, ce_5_0, ce_6_0, ce_7_0, ce_8_0, release_count };

const char *name(Release release);  // "4.2"

// As a subsystem version is written: CE 4.2 builds say 4.20.
Version version(Release release);

// A release as --os names it, and the names --os takes: "3.0, 4.2, ...".
bool parse(std::string_view text, Release &release);
std::string release_names();

// The oldest release that is not older than the image's subsystem
// version, or the newest one.
Release for_image(const pe::Image &image);

// What the kernel passes the entry point in r0: the process handle up to
// 5.0, the process id from 6.0 on (values as a device might give).
inline std::uint32_t entry_process(Release release)
{
    return release <= ce_5_0 ? 0x4E2A0002u : 0x00CE0042u;
}

// The device a program is loaded on: its release, its processor as its
// kernel names it, its NX setting, and the DLLs or functions it lacks.
struct Device {
    Release release = ce_3_0;
    std::uint16_t kernel_machine = pe::machine_arm;  // the id a kernel built for the processor has
    bool strict_nx = false;                          // a setting of CE 7.0 and 8.0 devices
    exports::Missing missing;
};

// Why the device's loader refuses the image: every rule it breaks, in the
// order the loader checks them, or "" when it takes it.
// ce-run's own reader has already checked the sections against the file
// and the size of image, which every release does too.
std::string refusal(const pe::Image &image, const Device &device);

}  // namespace loader

#endif
