// The processors ce-run emulates, each standing for a kind of CE device.

#ifndef CE_RUN_CPU_H
#define CE_RUN_CPU_H

#include <cstdint>
#include <string_view>

#include "pe_image.h"
#include "table.h"
#include "text.h"

namespace cpu {

enum Model { sa1110, pxa270, cortex_a8, model_count };

struct Properties {
    Model model;
    const char *option;          // as --cpu names it
    const char *name;
    bool thumb_platform;         // the platform's functions are Thumb code
    bool armv7;                  // Windows CE 8.0 runs on it
    // The machine id of the CE 4.2 to 7.0 kernels built for it.
    std::uint16_t kernel_machine;
};

constexpr Properties models[model_count] = {
    // StrongARM: ARMv4 without Thumb, and kernels built for ARMV4.
    {sa1110, "sa1110", "SA-1110", false, false, pe::machine_arm},
    // XScale: ARMv5TE, and ARMV4I kernels whose DLLs may be Thumb code.
    {pxa270, "pxa270", "PXA270", true, false, pe::machine_thumb},
    // ARMv7-A: ARMV4I kernels up to 7.0, and CE 8, whose code is Thumb-2.
    {cortex_a8, "cortex-a8", "Cortex-A8", true, true, pe::machine_thumb},
};
static_assert(in_order(models, model_count, &Properties::model));

inline bool parse(std::string_view option, Model &model)
{
    int at = position(models, option, [](const Properties &named) { return named.option; });
    model = at < 0 ? model : Model(at);
    return at >= 0;
}

// The processor of a typical device for the image's machine.
inline Model default_for(std::uint16_t machine)
{
    switch (machine) {
    case pe::machine_thumb: return pxa270;
    case pe::machine_armnt: return cortex_a8;
    default: return sa1110;
    }
}

}  // namespace cpu

#endif
