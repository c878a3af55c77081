// How a checked image is laid out in the emulated address space: which
// pages are mapped with which protection and file bytes, and which import
// address table slot receives which platform function.

#ifndef CE_RUN_LOADER_H
#define CE_RUN_LOADER_H

#include <cstdint>
#include <string>
#include <vector>

#include "pe_image.h"
#include "platform.h"

namespace loader {

enum Protection { read = 1, write = 2, execute = 4 };

struct Region {
    std::string name;
    std::uint32_t address;
    std::uint32_t size;         // whole pages
    int protection;
    std::uint32_t file_offset;  // the bytes copied to the region's start
    std::uint32_t file_size;
};

struct Binding {
    std::uint32_t iat_slot;  // an address in the image
    platform::Function function;
};

struct Plan {
    std::vector<Region> regions;
    std::vector<Binding> bindings;
    std::uint32_t entry;
    std::uint32_t image_base;
};

// On failure (an import the platform does not provide) returns false with
// a one-line reason in error.
bool plan(const pe::Image &image, Plan &out, std::string &error);

}  // namespace loader

#endif
