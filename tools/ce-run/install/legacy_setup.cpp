// The legacy binary setup file, NAME.000: a 100-byte header ("MSCE"),
// then tables of strings, directories (string ids joined with '\'),
// files, registry hives and keys, and shortcuts, each found through an
// offset and a count in the header. The layout is the one cabextract's
// description of the format gives.

#include "setup_file.h"

#include <map>

namespace setup {

namespace {

constexpr std::size_t header_size = 100;
constexpr std::uint32_t max_entries = 1024;

struct Reader {
    const std::vector<std::uint8_t> &bytes;
    std::string &error;

    bool has(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= bytes.size() && length <= bytes.size() - offset;
    }
    std::uint32_t u16(std::size_t at) const { return std::uint32_t(bytes[at] | bytes[at + 1] << 8); }
    std::uint32_t u32(std::size_t at) const { return u16(at) | u16(at + 2) << 16; }
    bool fail(const std::string &why)
    {
        error = why;
        return false;
    }

    // A text of length bytes at offset, its last byte the terminating 0.
    bool text(std::uint64_t offset, std::uint64_t length, const char *what, std::string &out)
    {
        if (length == 0 || !has(offset, length))
            return fail(std::string(what) + " at " + std::to_string(offset) + " of " +
                        std::to_string(length) + " bytes lies outside the file");
        if (bytes[offset + length - 1] != 0)
            return fail(std::string(what) + " at " + std::to_string(offset) +
                        " does not end with a 0 within its " + std::to_string(length) + " bytes");
        out.assign(bytes.begin() + long(offset), bytes.begin() + long(offset + length - 1));
        if (out.find('\0') != std::string::npos)
            return fail(std::string(what) + " at " + std::to_string(offset) + " holds a 0");
        return true;
    }

    // The count of a table and its offset, both within the file.
    bool table(std::size_t count_at, std::size_t offset_at, const char *what,
               std::uint32_t &count, std::uint64_t &offset)
    {
        count = u16(count_at);
        offset = u32(offset_at);
        if (count > max_entries)
            return fail(std::to_string(count) + " " + what + ": at most " +
                        std::to_string(max_entries) + " are read");
        if (count > 0 && !has(offset, 1))
            return fail(std::string("the ") + what + " at " + std::to_string(offset) +
                        " lie outside the file");
        return true;
    }
};

}  // namespace

bool read_legacy(const std::vector<std::uint8_t> &bytes, Description &out, std::string &error)
{
    Reader r{bytes, error};
    if (bytes.size() < header_size)
        return r.fail(std::to_string(bytes.size()) + " bytes is too short for the " +
                      std::to_string(header_size) + "-byte header");
    if (bytes[0] != 'M' || bytes[1] != 'S' || bytes[2] != 'C' || bytes[3] != 'E')
        return r.fail("no MSCE signature");
    if (r.u32(8) != bytes.size())
        return r.fail("its header says it is " + std::to_string(r.u32(8)) +
                      " bytes, the file has " + std::to_string(bytes.size()));
    out = Description();
    out.has_processor = true;
    out.processor = r.u32(20);
    out.lowest = {r.u32(24), r.u32(28)};
    out.highest = {r.u32(32), r.u32(36)};
    out.lowest_build = r.u32(40);
    out.highest_build = r.u32(44);

    std::uint32_t strings, directories, files, hives, keys, links;
    std::uint64_t strings_at, directories_at, files_at, unused;
    if (!r.table(48, 60, "strings", strings, strings_at) ||
        !r.table(50, 64, "directories", directories, directories_at) ||
        !r.table(52, 68, "files", files, files_at) ||
        !r.table(54, 72, "registry hives", hives, unused) ||
        !r.table(56, 76, "registry keys", keys, unused) ||
        !r.table(58, 80, "shortcuts", links, unused))
        return false;
    if (hives != 0 || keys != 0 || links != 0)
        return r.fail("it has registry entries or shortcuts, which ce-run does not model");
    if (!r.text(r.u16(84), r.u16(86), "the application's name", out.application) ||
        !r.text(r.u16(88), r.u16(90), "the provider's name", out.provider))
        return false;
    if (!r.has(r.u16(92), r.u16(94)))
        return r.fail("the unsupported platforms lie outside the file");

    std::map<std::uint32_t, std::string> string_of;
    std::uint64_t at = strings_at;
    for (std::uint32_t i = 0; i < strings; i++) {
        if (!r.has(at, 4))
            return r.fail("string " + std::to_string(i) + " lies outside the file");
        std::uint32_t id = r.u16(at), length = r.u16(at + 2);
        std::string text;
        if (!r.text(at + 4, length, "a string", text))
            return false;
        if (!string_of.emplace(id, text).second)
            return r.fail("two strings have the id " + std::to_string(id));
        at += 4 + length;
    }

    std::map<std::uint32_t, std::string> directory_of;
    at = directories_at;
    for (std::uint32_t i = 0; i < directories; i++) {
        if (!r.has(at, 4))
            return r.fail("directory " + std::to_string(i) + " lies outside the file");
        std::uint32_t id = r.u16(at), length = r.u16(at + 2);
        if (length < 2 || length % 2 != 0 || !r.has(at + 4, length) ||
            r.u16(at + 4 + length - 2) != 0)
            return r.fail("directory " + std::to_string(id) +
                          " is not a list of string ids that ends with 0");
        std::string path;
        for (std::uint64_t part = at + 4; part < at + 4 + length - 2; part += 2) {
            auto string = string_of.find(r.u16(part));
            if (string == string_of.end())
                return r.fail("directory " + std::to_string(id) + " names string " +
                              std::to_string(r.u16(part)) + ", which is not there");
            path += (path.empty() ? "" : "\\") + string->second;
        }
        if (!directory_of.emplace(id, path).second)
            return r.fail("two directories have the id " + std::to_string(id));
        at += 4 + length;
    }

    at = files_at;
    for (std::uint32_t i = 0; i < files; i++) {
        if (!r.has(at, 12))
            return r.fail("file " + std::to_string(i) + " lies outside the file");
        File file;
        file.number = r.u16(at);
        file.flags = r.u32(at + 6);
        std::uint32_t directory = r.u16(at + 2), length = r.u16(at + 10);
        auto path = directory_of.find(directory);
        if (path == directory_of.end())
            return r.fail("file " + std::to_string(file.number) + " goes into directory " +
                          std::to_string(directory) + ", which is not there");
        file.directory = path->second;
        if (!r.text(at + 12, length, "a file's name", file.name))
            return false;
        if (file.name.empty() || file.name.find_first_of("\\/") != std::string::npos)
            return r.fail("file " + std::to_string(file.number) + " has the name '" + file.name +
                          "', which is no file's name");
        out.files.push_back(file);
        at += 12 + length;
    }
    return true;
}

}  // namespace setup
