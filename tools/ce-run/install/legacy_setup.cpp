// The legacy binary setup file, NAME.000: a 100-byte header ("MSCE"),
// then tables of strings, directories (string ids joined with '\'),
// files, registry hives and keys, and shortcuts, each found through an
// offset and a count in the header. The layout is the one cabextract's
// description of the format gives (docs/sources.md).

#include "setup_file.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "hex.h"

namespace setup {

namespace {

constexpr std::size_t header_size = 100;
// Longer than any path a device takes (MAX_PATH), even with its macros
// expanded: a joined path or key past it is malformed.
constexpr std::size_t max_joined = 1024;

struct Table {
    const char *what;
    std::uint32_t count;
    std::uint64_t offset;
};

struct Reader {
    const std::vector<std::uint8_t> &bytes;
    Problem &problem;
    std::map<std::uint32_t, std::string> strings, directories, files;  // by id; files: their paths
    struct Hive {
        Root root;
        std::string key;
    };
    std::map<std::uint32_t, Hive> hives;

    bool has(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= bytes.size() && length <= bytes.size() - offset;
    }
    std::uint32_t u16(std::uint64_t at) const
    {
        return std::uint32_t(bytes[at] | bytes[at + 1] << 8);
    }
    std::uint32_t u32(std::uint64_t at) const { return u16(at) | u16(at + 2) << 16; }
    bool fail(const std::string &why)
    {
        problem = {false, why};
        return false;
    }
    bool not_modelled(const std::string &why)
    {
        problem = {true, why};
        return false;
    }

    // A text of length bytes at offset, ended by a 0; CabWiz from 2005 on
    // pads it with more 0s, which the length counts.
    bool text(std::uint64_t offset, std::uint64_t length, const std::string &what,
              std::string &out)
    {
        if (length == 0 || !has(offset, length))
            return fail(what + " at " + std::to_string(offset) + " of " +
                        std::to_string(length) + " bytes lies outside the file");
        if (bytes[offset + length - 1] != 0)
            return fail(what + " at " + std::to_string(offset) +
                        " does not end with a 0 within its " + std::to_string(length) + " bytes");
        out.assign(bytes.begin() + long(offset), bytes.begin() + long(offset + length - 1));
        std::size_t end = out.find('\0');
        if (end != std::string::npos && out.find_first_not_of('\0', end) != std::string::npos)
            return fail(what + " at " + std::to_string(offset) + " holds a 0 before its end");
        out.resize(std::min(end, out.size()));
        return true;
    }

    // The count of a table and its offset, from the header.
    Table table(std::size_t count_at, std::size_t offset_at, const char *what) const
    {
        return {what, u16(count_at), u32(offset_at)};
    }

    // Entry i of a table at offset: its fixed part of size bytes must be
    // within the file.
    bool entry(const Table &table, std::uint32_t i, std::uint64_t at, std::uint64_t size)
    {
        if (!has(at, size))
            return fail(std::string(table.what) + " entry " + std::to_string(i + 1) +
                        " lies outside the file");
        return true;
    }

    // The string ids of length bytes at at, up to the 0 that ends them
    // (a shortcut's name has none), joined with '\': a directory's path, a
    // key's, a shortcut's name.
    bool joined(std::uint64_t at, std::uint32_t length, bool ended, const std::string &what,
                std::string &out)
    {
        std::uint32_t end = ended ? 2 : 0;
        if (length < 2 || length % 2 != 0 || !has(at, length) || (ended && u16(at + length - 2) != 0))
            return fail(what + (ended ? " is not a list of string ids that ends with 0"
                                      : " is not a list of string ids"));
        out.clear();
        for (std::uint64_t part = at; part < at + length - end; part += 2) {
            auto string = strings.find(u16(part));
            if (string == strings.end())
                return fail(what + " names string " + std::to_string(u16(part)) +
                            ", which is not there");
            out += (part == at ? "" : "\\") + string->second;
            if (out.size() > max_joined)
                return fail(what + " is longer than " + std::to_string(max_joined) +
                            " characters, more than any device takes");
        }
        return true;
    }
};

// Calls read(at, length) for each entry of the table, whose fixed part of
// fixed bytes holds at length_at the length of the part that follows it.
template <typename Read>
bool each_entry(Reader &r, const Table &table, std::uint64_t fixed, std::uint64_t length_at,
                Read read)
{
    std::uint64_t at = table.offset;
    for (std::uint32_t i = 0; i < table.count; i++) {
        if (!r.entry(table, i, at, fixed))
            return false;
        std::uint32_t length = r.u16(at + length_at);
        if (!read(at, length))
            return false;
        at += fixed + length;
    }
    return true;
}

bool read_header(Reader &r, Description &out)
{
    const std::vector<std::uint8_t> &bytes = r.bytes;
    if (bytes.size() < header_size)
        return r.fail(std::to_string(bytes.size()) + " bytes is too short for the " +
                      std::to_string(header_size) + "-byte header");
    if (bytes[0] != 'M' || bytes[1] != 'S' || bytes[2] != 'C' || bytes[3] != 'E')
        return r.fail("no MSCE signature");
    if (r.u32(8) != bytes.size())
        return r.fail("its header says it is " + std::to_string(r.u32(8)) +
                      " bytes, the file has " + std::to_string(bytes.size()));
    out = Description();
    out.format = Format::legacy;
    out.has_processor = true;
    out.processor = r.u32(20);
    out.lowest = {r.u32(24), r.u32(28)};
    out.highest = {r.u32(32), r.u32(36)};
    out.lowest_build = r.u32(40);
    out.highest_build = r.u32(44);
    out.range_read = true;
    if (!r.text(r.u16(84), r.u16(86), "the application's name", out.application) ||
        !r.text(r.u16(88), r.u16(90), "the provider's name", out.provider))
        return false;
    // The unsupported platforms: texts ended by 0, the list by an empty one.
    std::uint64_t at = r.u16(92), end = at + r.u16(94);
    if (!r.has(at, end - at))
        return r.fail("the unsupported platforms lie outside the file");
    while (at < end && r.bytes[at] != 0) {
        std::uint64_t stop = at;
        while (stop < end && r.bytes[stop] != 0)
            stop++;
        std::string platform;
        if (!r.text(at, stop + 1 - at, "an unsupported platform", platform) || stop == end)
            return stop == end ? r.fail("the unsupported platforms do not end with a 0") : false;
        out.unsupported.push_back(platform);
        at = stop + 1;
    }
    return true;
}

bool read_strings(Reader &r, const Table &table)
{
    return each_entry(r, table, 4, 2, [&r](std::uint64_t at, std::uint32_t length) {
        std::uint32_t id = r.u16(at);
        std::string text;
        if (!r.text(at + 4, length, "string " + std::to_string(id), text))
            return false;
        return r.strings.emplace(id, text).second ||
               r.fail("two strings have the id " + std::to_string(id));
    });
}

bool read_directories(Reader &r, const Table &table, Description &out)
{
    return each_entry(r, table, 4, 2, [&r, &out](std::uint64_t at, std::uint32_t length) {
        std::uint32_t id = r.u16(at);
        std::string path;
        if (!r.joined(at + 4, length, true, "directory " + std::to_string(id), path))
            return false;
        if (!r.directories.emplace(id, path).second)
            return r.fail("two directories have the id " + std::to_string(id));
        out.steps.push_back({Operation::make_dir, path, "", "", 0, false, true});
        return true;
    });
}

bool read_files(Reader &r, const Table &table, Description &out)
{
    return each_entry(r, table, 12, 10, [&r, &out](std::uint64_t at, std::uint32_t length) {
        std::uint32_t number = r.u16(at), directory = r.u16(at + 2);
        Step step = {Operation::extract, "", "", "", r.u32(at + 6), false, true};
        if ((step.flags & ~known_flags) != 0)
            return r.not_modelled("file " + std::to_string(number) + " has the flags " +
                                  hex(step.flags) + ", which ce-run does not model");
        auto path = r.directories.find(directory);
        if (path == r.directories.end())
            return r.fail("file " + std::to_string(number) + " goes into directory " +
                          std::to_string(directory) + ", which is not there");
        step.directory = path->second;
        if (!r.text(at + 12, length, "file " + std::to_string(number) + "'s name", step.name))
            return false;
        if (step.name.empty() || step.name.find_first_of("\\/") != std::string::npos)
            return r.fail("file " + std::to_string(number) + " has the name '" + step.name +
                          "', which is no file's name");
        // The cabinet's entry NAME.NNN, NNN the file's number.
        char extension[8];
        std::snprintf(extension, sizeof extension, ".%03u", unsigned(number % 1000));
        step.source = number < 1000 ? extension : "";
        if (!r.files.emplace(number, step.directory + "\\" + step.name).second)
            return r.fail("two files have the number " + std::to_string(number));
        out.steps.push_back(step);
        return true;
    });
}

bool read_hives(Reader &r, const Table &table)
{
    return each_entry(r, table, 8, 6, [&r](std::uint64_t at, std::uint32_t length) {
        std::uint32_t id = r.u16(at), root = r.u16(at + 2);
        if (root < 1 || root > 4)
            return r.fail("registry hive " + std::to_string(id) + " has the root " +
                          std::to_string(root) + ", not 1 to 4");
        Reader::Hive hive = {Root(root), ""};
        if (!r.joined(at + 8, length, true, "registry hive " + std::to_string(id), hive.key))
            return false;
        return r.hives.emplace(id, hive).second ||
               r.fail("two registry hives have the id " + std::to_string(id));
    });
}

// A value's data, by its type bits: a string, strings ended by a double
// 0, bytes, or a 32-bit number.
bool read_data(Reader &r, std::uint64_t at, std::uint64_t size, Value &value)
{
    const std::string what = "registry value " + value.name;
    std::string all(r.bytes.begin() + long(at), r.bytes.begin() + long(at + size));
    switch (value.type) {
    case Type::dword:
        if (size != 4)
            return r.fail(what + " is a DWORD of " + std::to_string(size) + " bytes");
        value.number = r.u32(at);
        return true;
    case Type::binary:
        value.bytes.assign(r.bytes.begin() + long(at), r.bytes.begin() + long(at + size));
        return true;
    case Type::string:
        if (size == 0 || all.back() != 0 || all.find('\0') != size - 1)
            return r.fail(what + " is not one string ended by a 0");
        value.strings = {all.substr(0, size - 1)};
        return true;
    default:
        if (size < 2 || all.compare(size - 2, 2, std::string(2, '\0')) != 0)
            return r.fail(what + " is not strings ended by two 0s");
        for (std::size_t start = 0; start + 1 < size;) {
            std::size_t end = all.find('\0', start);
            value.strings.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        return true;
    }
}

bool read_keys(Reader &r, const Table &table, Description &out)
{
    return each_entry(r, table, 12, 10, [&r, &out](std::uint64_t at, std::uint32_t length) {
        std::uint32_t hive_id = r.u16(at + 2), flags = r.u32(at + 6);
        const std::string what = "registry value " + std::to_string(r.u16(at));
        auto hive = r.hives.find(hive_id);
        if (hive == r.hives.end())
            return r.fail(what + " is in hive " + std::to_string(hive_id) + ", which is not there");
        const std::uint32_t types[] = {0, 0x10000, 1, 0x10001};
        const Type named[] = {Type::string, Type::multi_string, Type::binary, Type::dword};
        Value value = {hive->second.root, hive->second.key, "", Type::string, {}, {}, 0, "",
                       r.u16(at + 4) == 1, (flags & 0x2) != 0};
        for (int t = 0; t < 4; t++)
            value.type = (flags & 0x10001) == types[t] ? named[t] : value.type;
        if (!r.has(at + 12, length))
            return r.fail(what + " lies outside the file");
        std::uint64_t name_end = at + 12;
        while (name_end < at + 12 + length && r.bytes[name_end] != 0)
            name_end++;
        if (name_end == at + 12 + length)
            return r.fail(what + " has no name ended by a 0");
        value.name.assign(r.bytes.begin() + long(at + 12), r.bytes.begin() + long(name_end));
        if (!read_data(r, name_end + 1, at + 12 + length - name_end - 1, value))
            return false;
        out.values.push_back(value);
        return true;
    });
}

// A shortcut: its folder, by a directory's id, or with none (0) by its
// base (0 %InstallDir%, n %CEn%); its target, a file or a directory (0
// %InstallDir%); its name, string ids with no 0 after them, as every real
// .000 writes it (docs/sources.md, section 12).
bool read_links(Reader &r, const Table &table, Description &out)
{
    return each_entry(r, table, 12, 10, [&r, &out](std::uint64_t at, std::uint32_t length) {
        std::uint32_t id = r.u16(at), directory = r.u16(at + 2), base = r.u16(at + 4);
        std::uint32_t target = r.u16(at + 6), type = r.u16(at + 8);
        const std::string what = "shortcut " + std::to_string(id);
        Step step = {Operation::shortcut,
                     base == 0 ? std::string("%InstallDir%") : "%CE" + std::to_string(base) + "%",
                     "", "", 0, true, true};
        if (directory != 0) {
            auto folder = r.directories.find(directory);
            if (folder == r.directories.end())
                return r.fail(what + " goes into directory " + std::to_string(directory) +
                              ", which is not there");
            step.directory = folder->second;
        }
        const auto &targets = type == 1 ? r.files : r.directories;
        auto found = targets.find(target);
        if (type == 0 && target == 0)
            step.source = "%InstallDir%";
        else if (type > 1 || found == targets.end())
            return r.fail(what + " leads to " + (type == 1 ? "file " : "directory ") +
                          std::to_string(target) + ", which is not there");
        else
            step.source = found->second;
        if (!r.joined(at + 12, length, false, what, step.name))
            return false;
        out.steps.push_back(step);
        return true;
    });
}

}  // namespace

bool read_legacy(const std::vector<std::uint8_t> &bytes, Description &out, Problem &problem)
{
    Reader r{bytes, problem, {}, {}, {}, {}};
    if (!read_header(r, out))
        return false;
    if (!read_strings(r, r.table(48, 60, "string")))
        return false;
    // CabWiz writes the install directory as string 1 (docs/sources.md,
    // section 12).
    auto install_dir = r.strings.find(1);
    out.install_dir = install_dir != r.strings.end() ? install_dir->second : "";
    return read_directories(r, r.table(50, 64, "directory"), out) &&
           read_files(r, r.table(52, 68, "file"), out) &&
           read_hives(r, r.table(54, 72, "registry hive")) &&
           read_keys(r, r.table(56, 76, "registry value"), out) &&
           read_links(r, r.table(58, 80, "shortcut"), out);
}

}  // namespace setup
