// The devices --check installs on: every platform as the command line
// describes the device, or a fleet file's devices (TOML, read by toml++),
// each a name, a platform and what the single run's options say of it.

#ifndef CE_RUN_FLEET_H
#define CE_RUN_FLEET_H

#include <string>
#include <vector>

#include "options.h"

namespace check {

struct Device {
    std::string name;     // the fleet's name for it, or the platform's option
    Options options;      // the single run's options for it: platform, security ...
    std::vector<std::string> installed;  // CABs it holds already, installed first in order
};

// The most devices a fleet file may name, and CABs a check may take.
constexpr std::size_t max_devices = 1000, max_cabs = 1000;

// Every platform (or --platform's), each with base's options, security's
// only where the platform has a security model; -1, else the exit status.
int every_platform(const Options &base, std::vector<Device> &devices);

// The fleet file's devices, each with base's options and its own over
// them; paths in it are relative to the file. -1 when the whole file is
// read and valid, else the exit status (64, 66), its message naming the
// file, the line and the key.
int read_fleet(const std::string &path, const Options &base, std::vector<Device> &devices);

}  // namespace check

#endif
