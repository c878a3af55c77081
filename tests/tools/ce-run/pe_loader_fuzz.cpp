// libFuzzer target for ce-run's image loader: any bytes at all go through
// the reader and the load plan. Beyond the sanitizers' checks, it traps
// when an accepted image would make ce-run copy bytes from outside the
// file or write outside the memory it maps, which is what the emulator
// trusts the plan for.

#include <cstddef>
#include <cstdint>
#include <string>

#include "load_plan.h"
#include "release_rules.h"
#include "pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    pe::Image image;
    loader::Plan plan;
    std::string error;
    if (!pe::read_image(data, size, image, error))
        return 0;
    os::Release release = os::for_image(image);
    os::Device device = {release, pe::machine_thumb, true};
    (void)os::refusal(image, device);  // must only read, whatever it decides
    // The plan is what the emulator trusts, whatever the rules say.
    if (!loader::plan(image, release, platform::Device(), plan, error))
        return 0;

    std::uint64_t image_end = std::uint64_t(image.image_base) + image.size_of_image;
    std::uint64_t previous_end = 0;
    for (const loader::Region &region : plan.regions) {
        std::uint64_t end = std::uint64_t(region.address) + region.size;
        if (std::uint64_t(region.file_offset) + region.file_size > size ||
            region.file_size > region.size || region.address % pe::page_size != 0 ||
            region.size % pe::page_size != 0 || region.address < previous_end ||
            region.address < pe::lowest_image_address || end > image_end)
            __builtin_trap();
        previous_end = end;
    }
    for (const loader::Binding &binding : plan.bindings) {
        bool mapped = false;
        for (const loader::Region &region : plan.regions)
            mapped |= binding.iat_slot >= region.address &&
                      std::uint64_t(binding.iat_slot) + 4 <=
                          std::uint64_t(region.address) + region.size;
        if (!mapped)
            __builtin_trap();
    }
    if (plan.entry < image.image_base || plan.entry >= image_end)
        __builtin_trap();
    return 0;
}
