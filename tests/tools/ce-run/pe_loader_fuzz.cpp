// libFuzzer target for ce-run's readers of untrusted files: any bytes at
// all go through the image reader and the load plan, the cabinet reader,
// and both setup-file readers (the legacy .000 and _setup.xml). Beyond the
// sanitizers' checks, it traps when an accepted image would make ce-run
// copy bytes from outside the file or write outside the memory it maps,
// which is what the emulator trusts the plan for, when a cabinet's files
// hold more than the reader's limit, and when a setup file read as valid
// names a file without a name.

#include <cstddef>
#include <cstdint>
#include <string>

#include "cabinet.h"
#include "load_plan.h"
#include "pe_image.h"
#include "loader_rules.h"
#include "setup_file.h"

namespace {

void read_setup_files(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::uint8_t> bytes(data, data + size);
    Problem problem;
    cabinet::Cabinet cab;
    if (cabinet::read(bytes, cab, problem) && cabinet::extract(bytes, cab, problem)) {
        std::size_t contents = 0;
        for (const cabinet::Entry &entry : cab.entries)
            contents += entry.bytes.size();
        if (contents > cabinet::max_contents)
            __builtin_trap();
    }
    for (auto read : {setup::read_legacy, setup::read_xml}) {
        setup::Description description;
        if (read(bytes, description, problem)) {
            for (const setup::Step &step : description.steps) {
                if (step.operation == setup::Operation::extract && step.name.empty())
                    __builtin_trap();
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    read_setup_files(data, size);
    pe::Image image;
    loader::Plan plan;
    std::string error;
    if (!pe::read_image(data, size, image, error))
        return 0;
    loader::Device device;
    device.release = loader::for_image(image);
    device.kernel_machine = pe::machine_thumb;
    device.strict_nx = true;
    (void)loader::refusal(image, device);  // must only read, whatever it decides
    // The plan is what the emulator trusts, whatever the rules say.
    if (!loader::plan(image, device, plan, error))
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
