// What a platform's installer does with a CAB, step by step: it reads the
// cabinet and applies its checks of it, extracts it, chooses and reads a
// setup file and applies its checks of that (installer_rules.h), runs the
// setup DLL's Install_Init as told, then makes the directories, files,
// shortcuts and registry values the setup file describes in the emulated
// device (device_contents.h), and its provisioning settings in the
// device's security model (provisioning.h), each a line of the trace.

#ifndef CE_RUN_INSTALLER_H
#define CE_RUN_INSTALLER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device_contents.h"
#include "configurations.h"
#include "installer_rules.h"
#include "trace.h"

namespace installer {

// What the setup DLL's Install_Init answers (--setup-dll): ce-run runs no
// DLL, so without an answer a CAB with one is not modelled.
enum class SetupDll { unanswered, continues, cancels };

struct Request {
    const Platform *platform = nullptr;
    const std::vector<std::uint8_t> *cab = nullptr;
    SetupDll setup_dll = SetupDll::unanswered;
    // The setup file to read instead of the platform's choice.
    std::optional<setup::Format> format;
    // The device's security model, if it has one: its stores and policies
    // as the CAB's provisioning leaves them once it installs.
    security::Model *security = nullptr;
};

struct Result {
    enum Ending {
        installed,
        refused,       // by the platform's installer: a documented check, or a malformed CAB
        cancelled,     // by the setup DLL's Install_Init
        not_modelled,  // what ce-run does not model, or past its limits: a device might take it
        going_on,      // within the installer, a step that leaves the install to the next; never returned
        ending_count
    } ending = refused;
    std::string why;                    // for every ending but installed, escaped
    // A refusal on the strict reading of a rule no source settles: the
    // open question, which ce-run answers unless the lenient reading is
    // refused too (installer_rules.h).
    std::string question;
    std::vector<std::string> programs;  // the .exe files it extracted, written or kept
    bool prompt_accepted = false;       // the user accepted the prompt for an unsigned CAB
};

// Installs the CAB into device, which holds what was there before.
Result install(const Request &request, device_contents::Contents &device, Trace &trace);

// Installs it from each of its two setup files into a copy of device and
// compares what each leaves: difference is "" when both reach the same
// result, else the first difference. Where it cannot compare (a CAB
// without both files, or no cabinet), the Result that says why.
std::optional<Result> compare_setup_files(const Request &request,
                                          const device_contents::Contents &device,
                                          std::string &difference);

// The key of --device-value's "ROOT\KEY\NAME=TEXT" as a string value; false
// with the reason when it is not one.
bool parse_device_value(const std::string &text, device_contents::Value &value,
                        std::string &error);

}  // namespace installer

#endif
