// ce-run: runs a Windows CE ARM program on this machine, instruction by
// instruction, with the platform it calls emulated; with --install, first
// installs a CAB as a device platform's installer would.
//
// The top of ce-run: it reads its command line (options.h) and hands the
// work to the rooms below, each of which may use only those under it:
// install/ (a CAB into the emulated device), run/ (a program on the
// emulated processor), image/ (reading and judging a program image),
// security/ (Windows Mobile's security model), and common/ under all.
// With --check, check/ runs the single run for each CAB on each device.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <algorithm>

#include "check.h"
#include "device_contents.h"
#include "emulator.h"
#include "input_file.h"
#include "installer.h"
#include "load_plan.h"
#include "options.h"
#include "pe_image.h"
#include "program_command_line.h"
#include "text.h"

namespace {

// What a run shares between its steps.
struct Session {
    Options options;
    emulated::State state;
    std::string image_name;          // the image as messages name it
    std::string program;             // as the trace names it: its device path, or image_name
    std::vector<std::uint8_t> file;  // its bytes
    bool covered_by_prompt = false;  // the accepted prompt for its unsigned CAB covers it
};

// The trace, opened once; false with the status's message on failure.
bool open_trace(Session &session)
{
    if (session.options.trace_path.empty() || session.state.trace.file != nullptr)
        return true;
    session.state.trace.file = std::fopen(session.options.trace_path.c_str(), "w");
    if (session.state.trace.file == nullptr) {
        complain(exit_trace_unwritable, "cannot write trace " + session.options.trace_path +
                                            ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// The device before the install: the platform's own directories, then
// the --device-file files and the --device-value values. Returns -1 to go
// on, else the exit status.
int prepare_device(const Options &options, device_contents::Contents &device)
{
    for (const std::string &directory : installer::standard_directories(*options.platform))
        device.make_directory(directory);
    std::string error;
    for (const auto &[path, host_file] : options.device_files) {
        device_contents::File placed = {path, {}, 0};
        struct stat info;
        if (!read_file(host_file, placed.bytes, error) || stat(host_file.c_str(), &info) != 0)
            return complain(exit_unreadable_input, "--device-file: cannot read " + host_file +
                                                       ": " + (error.empty() ? "gone" : error));
        placed.date = std::int64_t(info.st_mtime);
        device.put(placed);
    }
    for (const device_contents::Value &value : options.device_values)
        device.set(value);
    return -1;
}

// The installer's ending as ce-run's; -1 when it installed.
int installer_status(const Options &options, const installer::Result &result)
{
    const std::string &platform = options.platform->name;
    switch (result.ending) {
    case installer::Result::installed:
        return -1;
    case installer::Result::refused:
        return complain(exit_refused,
                        options.cab_path + ": the " + platform + " installer refuses it: " + result.why);
    case installer::Result::cancelled:
        return complain(exit_refused, options.cab_path + ": the " + platform +
                                            " installer does not install it: " + result.why);
    case installer::Result::not_modelled:
    case installer::Result::going_on:
    case installer::Result::ending_count:
        break;
    }
    return complain(exit_not_modelled, options.cab_path + ": ce-run cannot tell what the " +
                                           platform + " installer does with it: " + result.why);
}

// The program to run: --run's, else the only one the last CAB installed.
// Returns -1 to go on, else the exit status.
int choose_program(Session &session, const device_contents::Contents &device,
                   const installer::Result &result, const std::vector<std::string> &covered)
{
    const Options &options = session.options;
    std::string program = options.run_path;
    if (program.empty()) {
        std::vector<std::string> programs;
        for (const std::string &path : result.programs) {
            if (std::find(programs.begin(), programs.end(), path) == programs.end())
                programs.push_back(path);
        }
        std::string list = listed(programs, [](const std::string &path) {
            return escaped(path, path_escaping);
        });
        if (programs.size() != 1)
            return complain(exit_usage, options.cab_path + ": the CAB installs " +
                                            (programs.empty() ? "no program" : "the programs " + list) +
                                            ": give --run PATH for the one to run, or --install-only");
        program = programs[0];
    }
    const device_contents::File *file = device.find(program);
    if (file == nullptr)
        return complain(exit_usage, "--run: " + escaped(program, path_escaping) +
                                        " is not on the device after the install");
    session.image_name = options.cab_path + ": " + escaped(file->path, path_escaping);
    session.program = escaped(file->path, path_escaping);
    session.file = file->bytes;
    session.covered_by_prompt = std::find(covered.begin(), covered.end(), file->path) != covered.end();
    return -1;
}

// Installs the CABs in turn as the platform's installer would, on a
// device that holds the --device-file files and --device-value values
// first, each CAB on what the ones before it left (files, registry,
// stores, policies); the first that does not install ends the run. The
// image is then the program installed. Returns -1 to go on, else the exit
// status.
int install(Session &session)
{
    Options &options = session.options;
    std::string error;
    std::vector<std::vector<std::uint8_t>> cabs(options.cab_paths.size());
    for (std::size_t i = 0; i < cabs.size(); i++) {
        if (!read_file(options.cab_paths[i], cabs[i], error))
            return complain(exit_unreadable_input, "cannot read " + options.cab_paths[i] + ": " + error);
    }
    device_contents::Contents device;
    int status = prepare_device(options, device);
    if (status >= 0 || !open_trace(session))
        return status >= 0 ? status : exit_trace_unwritable;
    installer::Result result;
    std::vector<std::string> covered;  // programs an accepted prompt covers
    for (std::size_t i = 0; i < cabs.size(); i++) {
        options.cab_path = options.cab_paths[i];
        if (cabs.size() > 1)
            session.state.trace.line("install: CAB " + escaped(options.cab_path, path_escaping));
        installer::Request request;
        request.platform = options.platform;
        request.cab = &cabs[i];
        request.setup_dll = options.setup_dll;
        request.security = options.security_given ? &options.security : nullptr;
        if (options.compare_setup_files) {
            std::string difference;
            std::optional<installer::Result> not_compared =
                installer::compare_setup_files(request, device, difference);
            status = not_compared ? installer_status(options, *not_compared) : -1;
            if (status >= 0 || difference.empty())
                return status >= 0 ? status : 0;
            return complain(exit_setup_files_differ,
                            options.cab_path + ": its two setup files do not install the same on the " +
                                options.platform->name + " platform: " + difference);
        }
        result = installer::install(request, device, session.state.trace);
        status = installer_status(options, result);
        if (status >= 0)
            return status;
        if (result.prompt_accepted)
            covered.insert(covered.end(), result.programs.begin(), result.programs.end());
    }
    if (options.install_only)
        return 0;
    return choose_program(session, device, result, covered);
}

// The security model's decision on the program, by its signature; -1
// when it runs.
int check_signature(Session &session, const pe::Image &image)
{
    const Options &options = session.options;
    if (!options.security_given)
        return -1;
    if (!open_trace(session))
        return exit_trace_unwritable;
    security::Verdict verdict = security::verify(
        session.file, pe::signed_bytes(session.file.data(), session.file.size(), image),
        security::Content::image, options.security.roots,
        {security::Store::privileged, security::Store::unprivileged}, options.security.date);
    security::Decision decision =
        security::decide_program(options.security, verdict, session.covered_by_prompt);
    session.state.trace.line("security: " + session.program + ": " +
                             escaped(decision.trace, path_escaping));
    if (decision.allowed)
        return -1;
    // Refused only by the strict reading of what no source settles.
    if (verdict.trusted_leniently &&
        security::decide_program(options.security, security::leniently(verdict),
                                 session.covered_by_prompt)
            .allowed)
        return complain(exit_not_modelled, session.image_name + ": ce-run cannot tell what the " +
                                               options.platform->name + " loader does with it: " +
                                               escaped(verdict.question, path_escaping));
    return complain(exit_refused, session.image_name + ": the " + options.platform->name +
                                        " loader refuses it: " + decision.refusal);
}

// The image read and judged by the device's loader, and its load plan.
// Returns -1 to go on, else the exit status.
int load(Session &session, loader::Plan &plan)
{
    Options &options = session.options;
    loader::Device &device = options.device;
    std::string error;
    pe::Image image;
    if (!pe::read_image(session.file.data(), session.file.size(), image, error))
        return complain(exit_refused, session.image_name + ": " + error);
    if (!options.release_given)
        device.release = loader::for_image(image);
    if (!options.cpu_given)
        options.cpu = device.release == loader::ce_8_0 ? cpu::cortex_a8
                                                        : cpu::default_for(image.machine);
    if (device.release == loader::ce_8_0 && !cpu::models[options.cpu].armv7)
        return complain(exit_usage, std::string("--cpu: Windows CE 8.0 does not run on the ") +
                                        cpu::models[options.cpu].name +
                                        "; it needs ARMv7 (cortex-a8)");
    device.kernel_machine = cpu::models[options.cpu].kernel_machine;
    std::string refusal = loader::refusal(image, device);
    if (!refusal.empty())
        return complain(exit_refused, session.image_name + ": Windows CE " +
                                            loader::name(device.release) + " refuses it: " +
                                            refusal);
    int status = check_signature(session, image);
    if (status >= 0)
        return status;
    if (!loader::plan(image, device, plan, error))
        return complain(exit_missing_import, session.image_name + ": " + error);
    return -1;
}

// How the run ended, as ce-run's exit status.
int report(const Session &session, const emulator::Outcome &result)
{
    const std::string &name = session.image_name;
    switch (result.ending) {
    case emulator::Outcome::exited:
        if (result.exit_status > 255)
            return complain(exit_status_too_large,
                            name + ": exit status " + std::to_string(result.exit_status) +
                                " is outside 0..255 and cannot be passed on");
        return int(result.exit_status);
    case emulator::Outcome::instruction_limit:
        return complain(exit_instruction_limit,
                        name + ": instruction limit of " +
                            std::to_string(session.options.max_instructions) + " reached");
    case emulator::Outcome::trace_full:
        return complain(exit_trace_unwritable,
                        name + ": trace " + session.options.trace_path +
                            " reached its limit of " + std::to_string(output_limit >> 20) +
                            " MiB; the run was ended there");
    case emulator::Outcome::standard_error_full:
        return complain(exit_standard_error_full,
                        name + ": the program's standard error reached its limit of " +
                            std::to_string(output_limit >> 20) + " MiB; the run was ended there");
    case emulator::Outcome::faulted:
        break;
    }
    return complain(exit_program_fault, name + ": " + result.fault);
}

// Installs or reads the image, loads it and runs it; -1 never.
int run(Session &session)
{
    Options &options = session.options;
    std::u16string line = program_command_line::build(options.program_arguments);
    if (line.size() > emulator::max_command_line)
        return complain(exit_usage, "the command line is " + std::to_string(line.size()) +
                                        " UTF-16 units long; at most " +
                                        std::to_string(emulator::max_command_line) + " fit");
    if (options.platform != nullptr) {
        options.device.release = options.platform->release;
        if (!options.cpu_given)
            options.cpu = options.platform->cpu;
        options.release_given = options.cpu_given = true;
    }
    std::string error;
    int status = -1;
    if (!options.cab_paths.empty())
        status = install(session);
    else if (!read_file(session.image_name, session.file, error))
        status = complain(exit_unreadable_input, "cannot read " + session.image_name + ": " + error);
    loader::Plan plan;
    if (status < 0)
        status = load(session, plan);
    if (status < 0 && !open_trace(session))
        status = exit_trace_unwritable;
    if (status >= 0)
        return status;

    session.state.flush = options.flush;
    session.state.missing = options.device.missing;
    emulator::Outcome result =
        emulator::run(plan, session.file, session.state,
                      {options.max_instructions, line, options.cpu,
                       loader::entry_process(options.device.release)});
    std::FILE *trace = session.state.trace.file;
    session.state.trace.file = nullptr;
    if (trace != nullptr && (std::ferror(trace) | std::fclose(trace)) != 0)
        return complain(exit_trace_unwritable, "cannot write trace " + options.trace_path);
    if (options.stats)
        std::fprintf(stderr, "ce-run: stats: instructions=%llu stack_bytes=%u\n",
                     static_cast<unsigned long long>(result.instructions),
                     unsigned(result.stack_bytes));
    return report(session, result);
}

// One run of the options given: a single run's whole work; its exit status.
int single_run(const Options &options)
{
    Session session;
    session.options = options;
    session.image_name = session.program = session.options.image_path;
    int status = run(session);
    if (session.state.trace.file != nullptr)
        std::fclose(session.state.trace.file);
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    int status = parse_options(argc, argv, options);
    if (status >= 0)
        return status;
    return options.check ? check::run(options, single_run) : single_run(options);
}
