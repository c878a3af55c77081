#include "installer.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "cabinet.h"
#include "provisioning.h"
#include "table.h"
#include "text.h"

namespace installer {

namespace {

using device_contents::Contents;

// A cabinet's names and a setup file's texts are the CAB's, so they are
// escaped before they are shown.
void record(Trace &trace, const std::string &line)
{
    trace.line("install: " + escaped(line, path_escaping));
}

bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool is_program(const std::string &path)
{
    return ends_with(lower_ascii(path), ".exe");
}

Result ending(Result::Ending how, const std::string &why)
{
    Result result;
    result.ending = how;
    result.why = why;
    return result;
}

// How compare_setup_files names each ending.
struct EndingText {
    Result::Ending ending;
    const char *text;
};
constexpr EndingText endings[] = {
    {Result::installed, "installs"},
    {Result::refused, "is refused"},
    {Result::cancelled, "is cancelled"},
    {Result::not_modelled, "is not modelled"},
    {Result::going_on, "goes on"},
};
static_assert(in_order(endings, Result::ending_count, &EndingText::ending));

// Each step's result when it leaves the install to the next one: a
// Result that is no ending yet (going_on), which install never returns.
Result carry_on()
{
    Result result;
    result.ending = Result::going_on;
    return result;
}

Result from(const Problem &problem, const std::string &prefix = "")
{
    return ending(problem.not_modelled ? Result::not_modelled : Result::refused,
                  prefix + problem.why);
}

// A rule's refusal; a refusal on the strict reading names its question.
Result from(const Refusal &refusal)
{
    Result result = ending(Result::refused, refusal.why);
    result.question = refusal.question;
    return result;
}

// A cabinet's entries by name in lower case, and by their last four
// characters (".001"): each file a setup file extracts is looked up once,
// whatever the number of entries.
struct Entries {
    std::map<std::string, const cabinet::Entry *> by_name;
    std::map<std::string, std::vector<const cabinet::Entry *>> by_number;
};

Entries index_entries(const cabinet::Cabinet &cab)
{
    Entries out;
    for (const cabinet::Entry &entry : cab.entries) {
        std::string name = lower_ascii(entry.name);
        out.by_name[name] = &entry;
        if (name.size() >= 4)
            out.by_number[name.substr(name.size() - 4)].push_back(&entry);
    }
    return out;
}

// The cabinet, read and extracted, with what the installer takes from it.
struct Cab {
    const Platform &platform;
    const Request &request;
    Reading reading;
    std::optional<setup::Format> format;  // the setup file read, where not the platform's choice
    cabinet::Cabinet cabinet;
    const cabinet::Entry *legacy = nullptr;     // the .000 setup file
    const cabinet::Entry *xml = nullptr;        // _setup.xml
    const cabinet::Entry *setup_dll = nullptr;  // the .999 member
    bool prompt_accepted = false;
    Entries entries;  // the cabinet's, once extracted
    // With a security model: the device's, changed as the CAB provisions
    // it, and what the CAB's role may do.
    std::optional<security::Model> model;
    security::Rights rights;
};

// One entry a setup file names, or nullptr for none: the entry of that
// name (in any case), or the one numbered so (".001"); more than one of a
// number is an error.
const cabinet::Entry *named(const Entries &entries, const std::string &name)
{
    auto found = entries.by_name.find(lower_ascii(name));
    return found != entries.by_name.end() ? found->second : nullptr;
}

const cabinet::Entry *numbered(const Entries &entries, const std::string &number,
                               std::string &error)
{
    auto found = entries.by_number.find(lower_ascii(number));
    if (found == entries.by_number.end())
        return nullptr;
    if (found->second.size() > 1)
        error = "the cabinet holds both " + found->second[0]->name + " and " + found->second[1]->name;
    return found->second.size() > 1 ? nullptr : found->second[0];
}

// The setup files and the setup DLL among the entries; false with the
// reason when the cabinet holds two of one.
bool find_setup_files(const Entries &entries, const cabinet::Entry *&legacy,
                      const cabinet::Entry *&xml, const cabinet::Entry *&setup_dll,
                      std::string &error)
{
    legacy = numbered(entries, ".000", error);
    xml = named(entries, "_setup.xml");
    setup_dll = error.empty() ? numbered(entries, ".999", error) : nullptr;
    return error.empty();
}

// The security model's decision on the CAB, by its signature.
Result check_signature(Cab &cab, Trace &trace)
{
    if (!cab.model)
        return carry_on();
    const std::vector<std::uint8_t> &file = *cab.request.cab;
    security::Verdict verdict =
        security::verify(file, cabinet::signed_bytes(file), security::Content::cabinet,
                         cab.model->roots, {security::Store::spc}, cab.model->date);
    const security::Verdict lenient = security::leniently(verdict);
    security::Decision decision =
        security::decide_cab(*cab.model, cab.reading == Reading::lenient ? lenient : verdict);
    trace.line("security: " + escaped(decision.trace, path_escaping));
    cab.prompt_accepted = decision.prompt_accepted;
    cab.rights = decision.rights;
    if (decision.allowed)
        return carry_on();
    Result result = ending(Result::refused, decision.refusal);
    if (verdict.trusted_leniently && security::decide_cab(*cab.model, lenient).allowed)
        result.question = verdict.question;
    return result;
}

// The cabinet's checks, and the signature's, come before anything is
// extracted.
Result read_cabinet(Cab &cab, Trace &trace)
{
    Problem problem;
    const std::vector<std::uint8_t> &file = *cab.request.cab;
    if (!cabinet::read(file, cab.cabinet, problem))
        return from(problem);
    Refusal refusal = cabinet_refusal(cab.platform, cab.reading, cab.cabinet.header_length,
                                      file.size(), cab.cabinet.compressed);
    if (refusal.refuses())
        return from(refusal);
    Result checked = check_signature(cab, trace);
    if (checked.ending != Result::going_on)
        return checked;
    if (!cabinet::extract(file, cab.cabinet, problem))
        return from(problem);
    std::string error;
    cab.entries = index_entries(cab.cabinet);
    if (!find_setup_files(cab.entries, cab.legacy, cab.xml, cab.setup_dll, error))
        return ending(Result::refused, error);
    return carry_on();
}

// Why the installer finds no setup file it reads.
std::string no_setup_file(Reads reads, const Cab &cab)
{
    switch (reads) {
    case Reads::xml: return "the cabinet holds no _setup.xml, the only setup file it reads";
    case Reads::legacy: return "the cabinet holds no .000 setup file, the only one it reads";
    case Reads::both:
        return std::string("the cabinet holds ") +
               (cab.xml == nullptr ? "no _setup.xml" : "no .000 setup file") + ", and it reads both";
    case Reads::xml_when_present: break;
    }
    return "the cabinet holds neither _setup.xml nor a .000 setup file";
}

// The setup files the installer reads, in the order it takes them.
Result choose(const Cab &cab, std::vector<setup::Format> &formats)
{
    Reads reads = setup_files(cab.platform, cab.reading);
    if (cab.format)
        reads = *cab.format == setup::Format::legacy ? Reads::legacy : Reads::xml;
    bool xml = reads == Reads::xml || (reads == Reads::xml_when_present && cab.xml != nullptr);
    formats = {xml ? setup::Format::xml : setup::Format::legacy};
    if (reads == Reads::both)
        formats = {setup::Format::legacy, setup::Format::xml};
    for (setup::Format format : formats) {
        if ((format == setup::Format::xml ? cab.xml : cab.legacy) == nullptr) {
            Result result = ending(Result::refused, no_setup_file(reads, cab));
            if (!cab.format && reads != setup_files(cab.platform, Reading::lenient))
                result.question = setup_files_question(cab.platform);
            return result;
        }
    }
    return carry_on();
}

// One setup file, read and checked against the platform. A version
// range or processor that excludes the platform is refused before
// anything that is not modelled is reported.
Result read_setup(const Cab &cab, setup::Format format, setup::Description &setup)
{
    const cabinet::Entry &entry = *(format == setup::Format::xml ? cab.xml : cab.legacy);
    Problem problem;
    bool read = entry.bytes.size() <= setup::max_size &&
                (format == setup::Format::xml ? setup::read_xml : setup::read_legacy)(
                    entry.bytes, setup, problem);
    Refusal refusal;
    if ((read || problem.not_modelled) && setup.range_read)
        refusal = setup_refusal(cab.platform, cab.reading, setup);
    if (refusal.refuses() && (read || refusal.question.empty()))
        return from(refusal);
    if (!read) {
        if (problem.why.empty())
            problem = {true, "it is larger than " + std::to_string(setup::max_size) + " bytes"};
        return from(problem, "its setup file " + entry.name +
                                 (problem.not_modelled ? " holds what ce-run does not model: "
                                                       : " is malformed: "));
    }
    if (format == setup::Format::xml && setup.setup_dll != (cab.setup_dll != nullptr))
        return ending(Result::not_modelled,
                      setup.setup_dll ? "its _setup.xml names a setup DLL, and the cabinet holds no .999"
                                      : "the cabinet holds the setup DLL " + cab.setup_dll->name +
                                            ", which its _setup.xml does not name");
    return carry_on();
}

// A step with its paths expanded and checked, and its cabinet entry.
struct Planned {
    setup::Step step;
    std::string path;    // the device path it works on
    std::string source;  // shortcut, copy, move: the expanded source path
    const cabinet::Entry *entry = nullptr;  // extract
};

struct InstallPlan {
    std::vector<Planned> steps;
    // Each path a step works on, folded, and the first step there: one
    // path is one thing on the device.
    std::map<std::string, std::size_t> claimed;  // by the step's index
    std::vector<device_contents::Value> values;
    std::vector<bool> keeps_existing;  // for each value
    std::string install_dir;           // expanded, for the setup DLL's calls
    std::string unload;                // "PROVIDER APPNAME"; "" for a provisioning document alone
    std::vector<setup::Provision> provisions;
};

// Where a .000 uses %InstallDir% and has no string 1, in which CabWiz
// writes it, ce-run cannot tell what the device takes for it.
Result install_dir_unknown(const setup::Description &setup, const std::string &text)
{
    if (setup.format == setup::Format::legacy && setup.install_dir.empty() &&
        text.find("%InstallDir%") != std::string::npos)
        return ending(Result::not_modelled, "its .000 names %InstallDir% in " + text +
                                                ", and its string 1, where CabWiz writes the "
                                                "install directory, is none or no directory");
    return carry_on();
}

// A path's macros expanded where the setup file asks for it (expands);
// elsewhere the path is what it says.
Result expand_path(const Cab &cab, const setup::Description &setup, const std::string &text,
                   std::string &path, bool expands = true)
{
    Refusal refusal;
    if (!expands) {
        path = text;
    } else if (!expand(cab.platform, cab.reading, text, setup.install_dir, false, path, refusal)) {
        Result unknown = install_dir_unknown(setup, text);
        return unknown.ending != Result::going_on ? unknown : from(refusal);
    }
    std::string problem = path_problem(path);
    if (!problem.empty())
        return ending(Result::refused, "the setup file names " + path + ": " + problem);
    return carry_on();
}

// The cabinet's entry a step extracts: never a setup file.
Result find_entry(const Cab &cab, const setup::Description &setup, Planned &planned)
{
    const std::string &source = planned.step.source;
    std::string error;
    if (setup.format == setup::Format::xml)
        planned.entry = named(cab.entries, source);
    else if (!source.empty())
        planned.entry = numbered(cab.entries, source, error);
    if (!error.empty())
        return ending(Result::refused, error);
    if (planned.entry == nullptr)
        return ending(Result::refused, "the setup file installs " + planned.path + " from " +
                                           (source.empty() ? std::string("a file number past 999")
                                                           : "*" + source) +
                                           ", which the cabinet does not hold");
    if (planned.entry == cab.legacy || planned.entry == cab.xml)
        return ending(Result::refused, "the setup file installs " + planned.path +
                                           " from the setup file " + planned.entry->name);
    return carry_on();
}

// MakeDir and RemoveDir work on their directory itself.
bool on_directory(setup::Operation operation)
{
    return operation == setup::Operation::make_dir || operation == setup::Operation::remove_dir;
}

const char *verb(setup::Operation operation)
{
    switch (operation) {
    case setup::Operation::extract: return "extracts";
    case setup::Operation::shortcut: return "makes a shortcut at";
    case setup::Operation::copy: return "copies to";
    case setup::Operation::move: return "moves to";
    case setup::Operation::remove: return "deletes";
    case setup::Operation::make_dir: return "makes the directory";
    case setup::Operation::remove_dir: return "removes the directory";
    }
    return "";
}

// A second operation on a path, or a file on the path of another, or
// under it: which wins on the device no source says. MakeDir of one
// directory twice is one directory.
Result claim(const Planned &planned, InstallPlan &plan)
{
    auto said = [](const Planned &step) {
        return std::string(verb(step.step.operation)) + " " + step.path;
    };
    auto conflict = [&](const Planned &first) {
        return ending(Result::not_modelled, "the setup file " + said(first) + " and " + said(planned) +
                                                ", and which wins on the device no source says");
    };
    const std::string key = fold_case(planned.path);
    auto there = plan.claimed.find(key);
    if (there != plan.claimed.end() &&
        !(on_directory(planned.step.operation) &&
          plan.steps[there->second].step.operation == planned.step.operation))
        return conflict(plan.steps[there->second]);
    for (std::size_t end = key.find('\\', 1); end != std::string::npos; end = key.find('\\', end + 1)) {
        auto above = plan.claimed.find(key.substr(0, end));
        if (above != plan.claimed.end() &&
            plan.steps[above->second].step.operation != setup::Operation::make_dir)
            return conflict(plan.steps[above->second]);
    }
    if (!on_directory(planned.step.operation)) {
        auto below = plan.claimed.upper_bound(key + "\\");
        if (below != plan.claimed.end() && below->first.compare(0, key.size() + 1, key + "\\") == 0)
            return conflict(plan.steps[below->second]);
    }
    plan.claimed.emplace(key, plan.steps.size());
    return carry_on();
}

Result plan_step(const Cab &cab, const setup::Description &setup, const setup::Step &step,
                 InstallPlan &plan)
{
    Planned planned = {step, "", "", nullptr};
    Result result = expand_path(cab, setup, on_directory(step.operation)
                                                ? step.directory
                                                : step.directory + "\\" + step.name,
                                planned.path, step.expands);
    if (result.ending != Result::going_on)
        return result;
    if (step.operation == setup::Operation::extract) {
        result = find_entry(cab, setup, planned);
    } else if (!on_directory(step.operation) && step.operation != setup::Operation::remove) {
        planned.source = step.source;
        if (step.expands_source)
            result = expand_path(cab, setup, step.source, planned.source);
    }
    if (result.ending == Result::going_on)
        result = claim(planned, plan);
    plan.steps.push_back(planned);
    return result;
}

// A value's data as the trace shows it.
std::string shown(const setup::Value &value, const std::vector<std::string> &strings)
{
    std::string out;
    switch (value.type) {
    case setup::Type::dword:
    case setup::Type::boolean:
        return std::to_string(value.number);
    case setup::Type::binary:
        if (!value.text.empty() || value.bytes.empty())
            return quoted(value.text);
        for (std::uint8_t byte : value.bytes) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x", unsigned(byte));
            out += (out.empty() ? "" : " ") + std::string(hex);
        }
        return out;
    case setup::Type::floating:
        return value.text;
    default:
        for (const std::string &text : strings)
            out += (out.empty() ? "" : ", ") + quoted(text);
        return out;
    }
}

Result plan_value(const Cab &cab, const setup::Description &setup, const setup::Value &value,
                  InstallPlan &plan)
{
    std::vector<std::string> strings = value.strings;
    for (std::string &text : strings) {
        std::string expanded;
        Refusal refusal;
        if (value.expands &&
            !expand(cab.platform, cab.reading, text, setup.install_dir, true, expanded, refusal)) {
            Result unknown = install_dir_unknown(setup, text);
            return unknown.ending != Result::going_on ? unknown : from(refusal);
        }
        if (value.expands)
            text = expanded;
    }
    plan.values.push_back({std::string(setup::name(value.root)) + "\\" + value.key, value.name,
                           setup::name(value.type), shown(value, strings)});
    plan.keeps_existing.push_back(value.keeps_existing);
    return carry_on();
}

Result make_plan(const Cab &cab, const setup::Description &setup, InstallPlan &plan)
{
    plan = InstallPlan();
    plan.unload = setup.provider.empty() ? setup.application
                                         : setup.provider + " " + setup.application;
    plan.provisions = setup.provisions;
    if (!setup.install_dir.empty()) {
        Result result = expand_path(cab, setup, setup.install_dir, plan.install_dir,
                                    setup.install_dir_expands);
        if (result.ending != Result::going_on)
            return result;
    }
    for (const setup::Step &step : setup.steps) {
        Result result = plan_step(cab, setup, step, plan);
        if (result.ending != Result::going_on)
            return result;
    }
    for (const setup::Value &value : setup.values) {
        Result result = plan_value(cab, setup, value, plan);
        if (result.ending != Result::going_on)
            return result;
    }
    return carry_on();
}

// An extracted file, by its flags and what is there. A file the setup
// file marks shared is counted; a self-registering DLL is installed, and
// its registration, its own code, is not run.
Result place_file(const Planned &planned, Contents &device, Trace &trace, Result &result)
{
    const device_contents::File *there = device.find(planned.path);
    const std::uint32_t flags = planned.step.flags;
    Placement placement = place(flags, there != nullptr, there != nullptr ? there->date : 0,
                                planned.entry->date);
    if (placement == Placement::ask)
        return ending(Result::not_modelled,
                      planned.path + " is on the device, and the setup file gives no flag that "
                      "says whether to replace it: no source says what the installer does then");
    if (placement == Placement::skip) {
        record(trace, "skipped " + planned.path + ": it copies only over a file that is there");
        return carry_on();
    }
    std::string line;
    if (placement == Placement::keep) {
        line = "kept " + there->path + (flags & setup::warn_if_skipped ? ", with a warning" : "");
    } else {
        device.put({planned.path, planned.entry->bytes, planned.entry->date});
        line = "wrote " + planned.path + " (" + std::to_string(planned.entry->bytes.size()) +
               " bytes)";
    }
    if (flags & setup::shared) {
        int references = ++device.shared[fold_case(planned.path)];
        line += ", shared: " + std::to_string(references) +
                (references == 1 ? " reference" : " references");
    }
    if (flags & setup::self_register)
        line += ", self-registering: ce-run does not run its registration";
    record(trace, line);
    if (is_program(planned.path))
        result.programs.push_back(placement == Placement::keep ? there->path : planned.path);
    return carry_on();
}

// Copy, Move and Delete work on files already on the device.
Result carry_out_file_operation(const Planned &planned, Contents &device, Trace &trace)
{
    using setup::Operation;
    const device_contents::File *source = device.find(planned.source);
    if (planned.step.operation == Operation::remove) {
        if (device.find(planned.path) == nullptr)
            return ending(Result::not_modelled,
                          planned.path + ", which the setup file deletes, is not on the device "
                          "ce-run models, and what the installer does then is unsourced");
        device.files.erase(fold_case(planned.path));
        record(trace, "deleted " + planned.path);
        return carry_on();
    }
    if (source == nullptr)
        return ending(Result::not_modelled,
                      planned.source + ", which the setup file copies or moves to " + planned.path +
                          ", is not on the device, and what the installer does then is unsourced");
    device_contents::File file = *source;
    file.path = planned.path;
    bool move = planned.step.operation == Operation::move;
    if (move)
        device.files.erase(fold_case(planned.source));
    device.put(file);
    record(trace, std::string(move ? "moved " : "copied ") + planned.source + " to " + planned.path);
    return carry_on();
}

Result carry_out_directory_operation(const Platform &platform, const Planned &planned,
                                     Contents &device, Trace &trace)
{
    if (planned.step.operation == setup::Operation::make_dir) {
        if (!device.has_directory(planned.path)) {
            device.make_directory(planned.path);
            record(trace, "made " + planned.path);
        }
        return carry_on();
    }
    for (const std::string &standard : standard_directories(platform)) {
        if (fold_case(standard) == fold_case(planned.path))
            return ending(Result::not_modelled, "the setup file removes " + planned.path +
                                                    ", a standard folder of the device, and what "
                                                    "the installer does then is unsourced");
    }
    std::string inside = fold_case(planned.path) + "\\";
    auto after = [&inside](const auto &map) {
        auto next = map.upper_bound(inside);
        return next != map.end() && next->first.compare(0, inside.size(), inside) == 0;
    };
    if (after(device.files) || after(device.directories))
        return ending(Result::not_modelled, "the setup file removes " + planned.path +
                                                ", which is not empty, and whether the installer "
                                                "removes what is in it is unsourced");
    if (device.directories.erase(fold_case(planned.path)) != 0)
        record(trace, "removed " + planned.path);
    return carry_on();
}

void set_values(const InstallPlan &plan, Contents &device, Trace &trace)
{
    for (std::size_t i = 0; i < plan.values.size(); i++) {
        const device_contents::Value &value = plan.values[i];
        std::string where = value.key + ": " + (value.name.empty() ? "(default)" : value.name);
        if (plan.keeps_existing[i] && device.value(value.key, value.name) != nullptr) {
            record(trace, "kept registry " + where);
            continue;
        }
        device.set(value);
        record(trace, "registry " + where + " = " + value.type + " " + value.data);
    }
}

// The programs an install leaves: those it extracted, where its Moves
// took them, less those its Deletes removed.
void follow_programs(const Planned &planned, Result &result)
{
    const bool move = planned.step.operation == setup::Operation::move;
    const std::string from = fold_case(move ? planned.source : planned.path);
    auto at = std::find_if(result.programs.begin(), result.programs.end(),
                           [&from](const std::string &path) { return fold_case(path) == from; });
    if (at == result.programs.end())
        return;
    if (move)
        *at = planned.path;
    else if (planned.step.operation == setup::Operation::remove)
        result.programs.erase(at);
}

Result apply(const Platform &platform, const InstallPlan &plan, Contents &device, Trace &trace)
{
    Result result = carry_on();
    for (const Planned &planned : plan.steps) {
        Result step = carry_on();
        switch (planned.step.operation) {
        case setup::Operation::extract:
            step = place_file(planned, device, trace, result);
            break;
        case setup::Operation::shortcut:
            device.shortcuts[fold_case(planned.path)] = {planned.path, planned.source};
            record(trace, "shortcut " + planned.path + " to " + planned.source);
            break;
        case setup::Operation::make_dir:
        case setup::Operation::remove_dir:
            step = carry_out_directory_operation(platform, planned, device, trace);
            break;
        default:
            step = carry_out_file_operation(planned, device, trace);
            follow_programs(planned, result);
        }
        if (step.ending != Result::going_on)
            return step;
    }
    set_values(plan, device, trace);
    if (!plan.unload.empty())
        device.unload_names[fold_case(plan.unload)] = plan.unload;
    return result;
}

// The install directory the setup DLL's calls are given: the XML's; a
// .000 gives none.
std::string shown_install_dir(const InstallPlan &plan)
{
    return plan.install_dir.empty() ? "no install directory" : "\"" + plan.install_dir + "\"";
}

// The setup DLL's Install_Init before the install, as --setup-dll answers it.
Result run_install_init(const Cab &cab, const InstallPlan &plan, Trace &trace)
{
    if (cab.setup_dll == nullptr)
        return carry_on();
    const std::string &dll = cab.setup_dll->name;
    if (cab.request.setup_dll == SetupDll::unanswered)
        return ending(Result::not_modelled,
                      "it has the setup DLL " + dll + ", which ce-run does not run: say what its "
                      "Install_Init answers with --setup-dll continue or --setup-dll cancel");
    bool continues = cab.request.setup_dll == SetupDll::continues;
    record(trace, "setup DLL " + dll + ": Install_Init(first call, not installed before, " +
                      shown_install_dir(plan) + ") = " + (continues ? "0, continue" : "1, cancel"));
    if (!continues)
        return ending(Result::cancelled, "its setup DLL " + dll + " cancels the install in "
                                         "Install_Init (--setup-dll cancel)");
    return carry_on();
}

void finish(const Cab &cab, const InstallPlan &plan, Trace &trace)
{
    if (cab.setup_dll != nullptr)
        record(trace, "setup DLL " + cab.setup_dll->name + ": Install_Exit(" +
                          shown_install_dir(plan) + ", no failures) = 0, done");
    if (!plan.unload.empty())
        record(trace, "unload \"" + plan.unload + "\"");
}

// The setup file's provisioning settings, made in model (a copy of the
// device's security model) as the CAB's role allows, with the trace's
// lines for them; a device without a security model is not modelled.
Result provision(const Cab &cab, const InstallPlan &plan, std::optional<security::Model> &model,
                 std::vector<std::string> &lines)
{
    if (plan.provisions.empty())
        return carry_on();
    if (!model)
        return ending(Result::not_modelled,
                      "its _setup.xml provisions certificate stores or security policies, which "
                      "ce-run models only on a device with a security model (" +
                          std::string(cab.platform.has_security_model
                                          ? "give --security"
                                          : "the " + std::string(cab.platform.name) +
                                                " platform has none in ce-run") +
                          ")");
    Provisioned provisioned = installer::provision(cab.reading, plan.provisions, cab.rights, *model);
    lines = provisioned.lines;
    if (provisioned.not_modelled)
        return ending(Result::not_modelled, provisioned.refusal.why);
    return provisioned.refusal.refuses() ? from(provisioned.refusal) : carry_on();
}

// Reads and checks every setup file the installer reads, and plans the
// install from each; where it reads two, both must lead to the same.
Result prepare(const Cab &cab, const Contents &device, InstallPlan &plan)
{
    std::vector<setup::Format> formats;
    Result result = choose(cab, formats);
    std::vector<Contents> outcomes;
    for (std::size_t i = 0; i < formats.size() && result.ending == Result::going_on; i++) {
        setup::Description setup;
        result = read_setup(cab, formats[i], setup);
        std::string install_dir;
        Refusal refusal;
        // A .000's string 1 that is no directory is no install directory.
        if (result.ending == Result::going_on && setup.format == setup::Format::legacy &&
            !expand(cab.platform, cab.reading, setup.install_dir, "", false, install_dir, refusal))
            setup.install_dir.clear();
        if (result.ending == Result::going_on)
            result = make_plan(cab, setup, plan);
        if (result.ending == Result::going_on && formats.size() > 1) {
            Trace none;
            outcomes.push_back(device);
            result = apply(cab.platform, plan, outcomes.back(), none);
        }
    }
    std::string difference;
    if (result.ending == Result::going_on && outcomes.size() == 2 &&
        !(difference = device_contents::difference(outcomes[0], outcomes[1], "the .000",
                                                   "_setup.xml")).empty())
        return ending(Result::not_modelled, "its two setup files describe different installs (" +
                                                difference + "), and which of them the "
                                                "installer follows is unsourced");
    return result;
}

// Installs from the setup files the installer reads, the cabinet read.
Result install_read(Cab &cab, Contents &device, Trace &trace)
{
    InstallPlan plan;
    Result result = prepare(cab, device, plan);
    // The provisioning settings are made on a copy of the model before
    // anything else, so that a document refused for one of them is refused
    // whole; the copy becomes the model, and its lines are traced, once
    // the files are made.
    std::optional<security::Model> provisioned = cab.model;
    std::vector<std::string> lines;
    if (result.ending == Result::going_on)
        result = provision(cab, plan, provisioned, lines);
    if (result.ending == Result::going_on)
        result = run_install_init(cab, plan, trace);
    if (result.ending == Result::going_on)
        result = apply(cab.platform, plan, device, trace);
    if (result.ending == Result::going_on) {
        for (const std::string &line : lines)
            record(trace, line);
        cab.model = std::move(provisioned);
        finish(cab, plan, trace);
        result.ending = Result::installed;
    }
    return result;
}

// One install by one reading, into a copy of device that replaces it
// once the CAB has installed: a CAB that does not install leaves nothing.
Result install_by(const Request &request, Reading reading, std::optional<setup::Format> format,
                  Contents &device, Trace &trace)
{
    Cab cab{*request.platform, request, reading, format, {}, nullptr, nullptr, nullptr, false, {},
            {}, {}};
    if (request.security != nullptr)
        cab.model = *request.security;
    Contents work = device;
    Result result = read_cabinet(cab, trace);
    if (result.ending == Result::going_on)
        result = install_read(cab, work, trace);
    if (result.ending == Result::installed) {
        device = std::move(work);
        if (request.security != nullptr)
            *request.security = std::move(*cab.model);
    }
    result.prompt_accepted = cab.prompt_accepted;
    return result;
}

// The request on copy, a copy of its security model (if it has one),
// which an install changes and the request's own model does not.
Request on_copy(const Request &request, std::optional<security::Model> &copy)
{
    Request out = request;
    if (request.security != nullptr)
        out.security = &copy.emplace(*request.security);
    return out;
}

// The strict reading's install; where it refuses the CAB on a rule no
// source settles, the lenient reading's too: refused both ways, the
// device refuses it; refused only strictly, ce-run cannot tell, and the
// answer names the open question.
Result answer(const Request &request, std::optional<setup::Format> format, Contents &device,
              Trace &trace)
{
    Result result = install_by(request, Reading::strict, format, device, trace);
    if (result.ending == Result::refused && !result.question.empty()) {
        Contents other = device;
        Trace none;
        std::optional<security::Model> model;
        Result lenient = install_by(on_copy(request, model), Reading::lenient, format, other, none);
        bool refused = lenient.ending == Result::refused || lenient.ending == Result::cancelled;
        result = refused ? lenient : ending(Result::not_modelled, result.question);
    }
    result.why = escaped(result.why, path_escaping);
    return result;
}

}  // namespace

Result install(const Request &request, Contents &device, Trace &trace)
{
    return answer(request, request.format, device, trace);
}

std::optional<Result> compare_setup_files(const Request &request, const Contents &device,
                                          std::string &difference)
{
    cabinet::Cabinet listing;
    Problem problem;
    std::string error;
    if (!cabinet::read(*request.cab, listing, problem)) {
        Result result = from(problem);
        result.why = escaped(result.why, path_escaping);
        return result;
    }
    const Entries entries = index_entries(listing);
    const cabinet::Entry *legacy = numbered(entries, ".000", error);
    const cabinet::Entry *xml = named(entries, "_setup.xml");
    if (legacy == nullptr || xml == nullptr || !error.empty())
        return ending(Result::refused,
                      escaped(!error.empty() ? error
                                             : std::string("the cabinet holds ") +
                                                   (xml == nullptr ? "no _setup.xml" : "no .000 setup file") +
                                                   ": there is nothing to compare",
                              path_escaping));
    const setup::Format formats[] = {setup::Format::legacy, setup::Format::xml};
    const std::string names[] = {legacy->name, xml->name};
    Result results[2];
    Contents outcomes[2] = {device, device};
    Trace none;
    for (int i = 0; i < 2; i++) {
        // Each from the same security model, which the comparison leaves as it was.
        std::optional<security::Model> model;
        results[i] = answer(on_copy(request, model), formats[i], outcomes[i], none);
    }
    if (results[0].ending != results[1].ending)
        difference = names[0] + " " + endings[results[0].ending].text + " (" +
                     (results[0].why.empty() ? "as it says" : results[0].why) + "), " + names[1] +
                     " " + endings[results[1].ending].text +
                     (results[1].why.empty() ? "" : " (" + results[1].why + ")");
    else if (results[0].ending == Result::installed)
        difference = escaped(device_contents::difference(outcomes[0], outcomes[1], names[0], names[1]),
                             path_escaping);
    return std::nullopt;
}

bool parse_device_value(const std::string &text, device_contents::Value &value,
                        std::string &error)
{
    std::size_t equals = text.find('=');
    std::string path = text.substr(0, equals);
    std::size_t root_end = path.find('\\'), name_start = path.rfind('\\');
    const std::map<std::string, setup::Root> roots = {
        {"HKCR", setup::Root::classes_root}, {"HKCU", setup::Root::current_user},
        {"HKLM", setup::Root::local_machine}, {"HKU", setup::Root::users}};
    std::string root = path.substr(0, root_end);
    for (const auto &[short_name, number] : roots)
        root = root == setup::name(number) ? short_name : root;
    if (equals == std::string::npos || roots.count(root) == 0 || root_end == name_start) {
        error = "'" + text + "' is not ROOT\\KEY\\NAME=TEXT with ROOT one of HKCR, HKCU, HKLM, HKU "
                "(or their full names)";
        return false;
    }
    value = {std::string(setup::name(roots.at(root))) +
                 path.substr(root_end, name_start - root_end),
             path.substr(name_start + 1), "string", quoted(text.substr(equals + 1))};
    return true;
}

}  // namespace installer
