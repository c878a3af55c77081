// libFuzzer target of the image room: any bytes go through the PE reader,
// every release's loader rules, the load plan, and the reading and
// verifying of an Authenticode signature. Beyond the sanitizers' checks,
// it traps when an accepted image would make ce-run copy bytes from
// outside the file or write outside the memory it maps, which is what the
// emulator trusts the plan for, and when a signature's ranges leave the
// file or run backwards.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "load_plan.h"
#include "pe_image.h"
#include "signature.h"

namespace {

void check_plan(const pe::Image &image, const loader::Plan &plan, std::size_t size)
{
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
}

// The signature's frame and ranges, which the digest reads unchecked.
void check_signature(const std::vector<std::uint8_t> &file, const pe::Image &image)
{
    SignedBytes signature = pe::signed_bytes(file.data(), file.size(), image);
    if (!signature.present || !signature.malformed.empty())
        return;
    for (const auto &[begin, end] : signature.covered) {
        if (begin > end || end > file.size())
            __builtin_trap();
    }
    if (signature.der_offset + signature.der_size > file.size())
        __builtin_trap();
    security::Roots roots;
    (void)security::verify(file, signature, security::Content::image, roots,
                           {security::Store::privileged, security::Store::unprivileged},
                           security::no_date);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    pe::Image image;
    std::string error;
    if (!pe::read_image(data, size, image, error))
        return 0;
    check_signature(std::vector<std::uint8_t>(data, data + size), image);
    for (int release = 0; release < loader::release_count; release++) {
        loader::Device device;
        device.release = loader::Release(release);
        device.kernel_machine = release % 2 ? pe::machine_thumb : pe::machine_arm;
        device.strict_nx = true;
        (void)loader::refusal(image, device);  // must only read, whatever it decides
        // The plan is what the emulator trusts, whatever the rules say.
        loader::Plan plan;
        if (loader::plan(image, device, plan, error))
            check_plan(image, plan, size);
    }
    return 0;
}
