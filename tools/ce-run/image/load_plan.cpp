#include "load_plan.h"

namespace loader {

namespace {

std::uint32_t whole_pages(std::uint32_t size)
{
    // Sizes here are bounded by the image's own size, far below 4 GiB.
    return (size + pe::page_size - 1) / pe::page_size * pe::page_size;
}

int protection_of(std::uint32_t characteristics)
{
    int protection = 0;
    if (characteristics & pe::scn_read)
        protection |= read;
    if (characteristics & pe::scn_write)
        protection |= write;
    if (characteristics & pe::scn_execute)
        protection |= execute;
    return protection;
}

}  // namespace

bool plan(const pe::Image &image, const Device &device, Plan &out, std::string &error)
{
    out = Plan();
    out.image_base = image.image_base;
    out.entry = image.image_base + image.entry_rva;
    out.regions.push_back({"headers", image.image_base,
                           whole_pages(image.size_of_headers), read, 0,
                           image.size_of_headers});
    for (const pe::Section &section : image.sections) {
        if (section.memory_size() == 0)
            continue;
        // A section with nothing from the file may carry any raw offset;
        // the reader checked it only where bytes are taken from it.
        std::uint32_t file_size = section.loaded_raw_size();
        out.regions.push_back({section.name,
                               image.image_base + section.virtual_address,
                               whole_pages(section.memory_size()),
                               protection_of(section.characteristics),
                               file_size != 0 ? section.raw_offset : 0, file_size});
    }
    for (const pe::Import &import : image.imports) {
        int dll = exports::find_dll(import.dll);
        bool has_dll = dll >= 0 && exports::offers(device.missing, exports::Dll(dll));
        int function = has_dll ? exports::find_function(exports::Dll(dll), import.function)
                               : -1;
        bool bound = function >= 0 && exports::offers(device.missing, exports::Function(function));
        // CE 3.0 leaves the slot of a function its DLL lacks at 0, so the
        // program faults only if it calls it.
        if (!bound && !(device.release == ce_3_0 && has_dll)) {
            std::string what = has_dll ? import.dll + " has no " + import.function
                                       : import.dll + " is not on the device";
            std::string release_name = name(device.release);
            if (device.release >= ce_6_0)
                error = what + ": Windows CE " + release_name +
                        " would end the process with exit status 0 before its "
                        "entry point ran";
            else
                error = "Windows CE " + release_name +
                        " refuses to create the process: " + what;
            return false;
        }
        out.bindings.push_back({image.image_base + import.iat_slot_rva,
                                bound ? function : -1});
    }
    return true;
}

}  // namespace loader
