// How an image the release's rules took (loader_rules.h) is laid out in
// the emulated address space: which pages are mapped with which
// protection and file bytes, and which import address table slot receives
// which platform function, as the device's release binds imports, and so
// which missing import keeps the program from running.

#ifndef CE_RUN_LOAD_PLAN_H
#define CE_RUN_LOAD_PLAN_H

#include <cstdint>
#include <string>
#include <vector>

#include "loader_rules.h"
#include "pe_image.h"

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
    int function;            // an exports::Function, or -1: the slot gets 0
};

struct Plan {
    std::vector<Region> regions;
    std::vector<Binding> bindings;
    std::uint32_t entry;
    std::uint32_t image_base;
};

// On failure (an import the device lacks, where its release does not start
// the program) returns false with a one-line reason in error.
bool plan(const pe::Image &image, const Device &device, Plan &out, std::string &error);

}  // namespace loader

#endif
