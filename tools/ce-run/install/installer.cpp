#include "installer.h"

#include <cstdio>

#include "text.h"
#include "cabinet.h"
#include "setup_file.h"

namespace installer {

namespace {

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

// The one entry whose name, in lower case, ends so (or is so, with whole
// set); nullptr with the reason when there is none or more than one.
const cabinet::Entry *only_entry(const cabinet::Cabinet &cab, const std::string &end, bool whole,
                                 std::string &error)
{
    const cabinet::Entry *found = nullptr;
    for (const cabinet::Entry &entry : cab.entries) {
        std::string name = lower_ascii(entry.name);
        if (whole ? name == end : ends_with(name, end)) {
            if (found != nullptr) {
                error = "the cabinet holds both " + found->name + " and " + entry.name;
                return nullptr;
            }
            found = &entry;
        }
    }
    return found;
}

bool install_checked(const Platform &platform, const std::vector<std::uint8_t> &file,
                     device_files::Files &files, Trace &trace, std::string &executable,
                     std::string &error)
{
    cabinet::Cabinet cab;
    if (!cabinet::read(file, cab, error))
        return false;
    error = cabinet_refusal(platform, cab.header_length, file.size(), cab.compressed);
    if (!error.empty())
        return false;

    // The setup file the installer reads.
    const cabinet::Entry *legacy = only_entry(cab, ".000", false, error);
    const cabinet::Entry *xml = error.empty() ? only_entry(cab, "_setup.xml", true, error) : nullptr;
    if (!error.empty())
        return false;
    bool reads_xml = platform.reads == Reads::xml ||
                     (platform.reads == Reads::xml_when_present && xml != nullptr);
    const cabinet::Entry *chosen = reads_xml ? xml : legacy;
    if (chosen == nullptr) {
        error = platform.reads == Reads::xml
                    ? "the cabinet holds no _setup.xml, the only setup file it reads"
                : platform.reads == Reads::legacy
                    ? "the cabinet holds no .000 setup file, the only one it reads"
                    : "the cabinet holds neither _setup.xml nor a .000 setup file";
        return false;
    }
    setup::Description setup;
    if (chosen->bytes.size() > setup::max_size ||
        !(reads_xml ? setup::read_xml : setup::read_legacy)(chosen->bytes, setup, error)) {
        if (error.empty())
            error = "it is larger than " + std::to_string(setup::max_size) + " bytes";
        error = "its setup file " + chosen->name + " is malformed: " + error;
        return false;
    }
    error = setup_refusal(platform, setup, !reads_xml);
    if (!error.empty())
        return false;

    // Where each file goes, and from which entry.
    struct Placed {
        std::string path;
        const cabinet::Entry *entry;
        std::uint32_t flags;
    };
    std::vector<Placed> placed;
    int executables = 0;
    for (const setup::File &wanted : setup.files) {
        std::string directory;
        if (!expand_directory(wanted.directory, directory, error))
            return false;
        std::string path = directory + "\\" + wanted.name;
        if (!device_files::is_full_path(path)) {
            error = "the setup file installs " + path + ", which is no file's path";
            return false;
        }
        const cabinet::Entry *entry;
        if (reads_xml) {
            entry = only_entry(cab, lower_ascii(wanted.source), true, error);
        } else {
            char number[8];
            std::snprintf(number, sizeof number, ".%03u", unsigned(wanted.number % 1000));
            entry = wanted.number < 1000 ? only_entry(cab, number, false, error) : nullptr;
        }
        if (entry == nullptr) {
            if (error.empty())
                error = "the setup file installs " + path + " from " +
                        (reads_xml ? wanted.source : "file number " + std::to_string(wanted.number)) +
                        ", which the cabinet does not hold";
            return false;
        }
        executables += ends_with(lower_ascii(path), ".exe");
        placed.push_back({path, entry, wanted.flags});
    }
    if (executables != 1) {
        error = "it installs " + std::to_string(executables) +
                " executables, and ce-run runs what a CAB installs only when it is one";
        return false;
    }

    for (const Placed &p : placed) {
        const device_files::File *there = files.find(p.path);
        if (there != nullptr && keeps_existing(p.flags, there->date, p.entry->date)) {
            record(trace, "kept " + there->path);
        } else {
            files.put({p.path, p.entry->bytes, p.entry->date});
            record(trace, "wrote " + p.path + " (" + std::to_string(p.entry->bytes.size()) +
                             " bytes)");
        }
        if (ends_with(lower_ascii(p.path), ".exe"))
            executable = p.path;
    }
    std::string unload = setup.provider.empty() ? setup.application
                                                : setup.provider + " " + setup.application;
    record(trace, "unload \"" + unload + "\"");
    return true;
}

}  // namespace

bool install(const Platform &platform, const std::vector<std::uint8_t> &file,
             device_files::Files &files, Trace &trace, std::string &executable,
             std::string &error)
{
    if (install_checked(platform, file, files, trace, executable, error))
        return true;
    error = escaped(error, path_escaping);
    return false;
}

}  // namespace installer
