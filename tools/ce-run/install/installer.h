// What a platform's installer does with a CAB, step by step: it reads the
// cabinet, chooses and reads a setup file, applies its checks
// (installer_rules.h) and writes the files into the emulated device's file
// system, tracing its work. ce-run then runs the one executable installed.

#ifndef CE_RUN_INSTALLER_H
#define CE_RUN_INSTALLER_H

#include <cstdint>
#include <string>
#include <vector>

#include "device_files.h"
#include "installer_rules.h"
#include "trace.h"

namespace installer {

// On a refusal returns false with the reason after "the NAME installer
// refuses it: " in error; else executable is the device path of the one
// executable the CAB installs, whichever copy the install left there.
bool install(const Platform &platform, const std::vector<std::uint8_t> &cab,
             device_files::Files &files, Trace &trace, std::string &executable,
             std::string &error);

}  // namespace installer

#endif
