#include "loader.h"

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

bool plan(const pe::Image &image, Plan &out, std::string &error)
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
        int function = platform::find_export(import.dll, import.function);
        if (function < 0) {
            error = "import " + import.dll + "!" + import.function +
                    " is not provided by the emulated platform";
            return false;
        }
        out.bindings.push_back({image.image_base + import.iat_slot_rva,
                                platform::Function(function)});
    }
    return true;
}

}  // namespace loader
