// ce-run's own command line: the options, the usage that --help prints
// (its lists built from the tables of releases and platforms), and the
// exit statuses of ce-run's own endings.

#ifndef CE_RUN_OPTIONS_H
#define CE_RUN_OPTIONS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cpu.h"
#include "flush_script.h"
#include "configurations.h"
#include "installer.h"
#include "loader_rules.h"

// Besides the program's own status, 0 to 255.
enum ExitStatus {
    exit_usage = 64,
    exit_refused = 65,  // the device refuses the image or the CAB
    exit_unreadable_input = 66,  // an image, CAB, --device-file or --store
    exit_missing_import = 69,  // the device would not run the program
    exit_program_fault = 70,
    exit_instruction_limit = 71,
    exit_status_too_large = 72,
    exit_trace_unwritable = 73,
    exit_standard_error_full = 74,
    exit_not_modelled = 75,   // what the CAB asks is beyond what ce-run models
    exit_setup_files_differ = 76,
};

struct Options {
    loader::Device device;
    bool release_given = false, cpu_given = false;
    cpu::Model cpu = cpu::sa1110;
    const installer::Platform *platform = nullptr;
    scripted::FlushScript flush;
    std::string trace_path;
    bool stats = false;
    std::vector<std::string> cab_paths;  // --install's, in order: one device takes each in turn
    std::string cab_path;                 // the one being installed, as messages name it
    std::vector<std::pair<std::string, std::string>> device_files;  // device path, host file
    std::vector<device_contents::Value> device_values;
    installer::SetupDll setup_dll = installer::SetupDll::unanswered;
    bool install_only = false;
    bool compare_setup_files = false;
    std::string run_path;  // the installed program to run
    bool security_given = false, stores_given = false, answer_given = false;
    security::Model security;  // with security_given: the device's security model
    security::Policies policies_given;  // --policy's, over the configuration's
    std::vector<std::string> store_files;  // the --store files, as given
    // --check: each of check_cabs on every platform, or on the fleet's devices.
    bool check = false;
    std::vector<std::string> check_cabs;
    std::string fleet_path;
    std::string format = "text";  // text, json or junit
    std::uint64_t max_instructions = 10000000;
    std::string image_path;
    std::vector<std::string> program_arguments;
};

// Writes "ce-run: MESSAGE" to standard error and returns status.
int complain(int status, const std::string &message);

// Reads the command line into options; returns -1 to go on, else the
// exit status (0 after --help or --version).
int parse_options(int argc, char **argv, Options &options);

// Applies the option NAME (without "--") with value as the command line
// would; -1 to go on, else the exit status, its message printed. complain
// puts context before each message while one is set ("fleet.toml:3: key
// 'security': "), "" clears it.
int apply_option(const std::string &name, const std::string &value, Options &out);
void set_complaint_context(const std::string &context);

// What the options say together of one device, once all are given: its
// security model's policies, and the options that do not go together;
// -1 when they do, else the exit status.
int settle_device(Options &out);

#endif
