// The processors ce-run emulates, each standing for a kind of CE device.

#ifndef CE_RUN_CPU_H
#define CE_RUN_CPU_H

#include <cstdint>
#include <string_view>

#include "pe_image.h"

namespace cpu {

enum Model { sa1110, pxa270, model_count };

struct Properties {
    const char *option;          // as --cpu names it
    const char *name;
    bool thumb_platform;         // the platform's functions are Thumb code
    std::uint16_t kernel_machine;  // the machine id of the kernels built for it
};

constexpr Properties models[model_count] = {
    // StrongARM: ARMv4 without Thumb, and kernels built for ARMV4.
    {"sa1110", "SA-1110", false, pe::machine_arm},
    // XScale: ARMv5TE, and ARMV4I kernels whose DLLs may be Thumb code.
    {"pxa270", "PXA270", true, pe::machine_thumb},
};

inline bool parse(std::string_view option, Model &model)
{
    for (int i = 0; i < model_count; i++) {
        if (option == models[i].option) {
            model = Model(i);
            return true;
        }
    }
    return false;
}

inline Model default_for(std::uint16_t machine)
{
    return machine == pe::machine_thumb ? pxa270 : sa1110;
}

}  // namespace cpu

#endif
