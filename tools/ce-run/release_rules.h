// The Windows CE releases ce-run stands in for, and each one's rules: what
// its loader checks in a program image before it creates the process, as
// read off those loaders' sources. Every refusal of an image's headers
// and machine is here; how the image is then laid out and its imports
// bound is load_plan.h.

#ifndef CE_RUN_RELEASE_RULES_H
#define CE_RUN_RELEASE_RULES_H

#include <cstdint>
#include <string>
#include <string_view>

#include "pe_image.h"

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

}  // namespace os

#endif
