#include "device_contents.h"

#include "text.h"

namespace device_contents {

const File *Contents::find(const std::string &path) const
{
    auto file = files.find(fold_case(path));
    return file == files.end() ? nullptr : &file->second;
}

void Contents::put(const File &file)
{
    make_directory(file.path.substr(0, file.path.rfind('\\')));
    files[fold_case(file.path)] = file;
}

bool Contents::has_directory(const std::string &path) const
{
    return directories.count(fold_case(path)) != 0;
}

// The directory and each one above it.
void Contents::make_directory(const std::string &path)
{
    for (std::size_t end = path.find('\\', 1);; end = path.find('\\', end + 1)) {
        std::string part = path.substr(0, end);
        if (!part.empty())
            directories.emplace(fold_case(part), part);
        if (end == std::string::npos)
            return;
    }
}

std::string value_key(const std::string &key, const std::string &name)
{
    return fold_case(key) + "\\" + fold_case(name);
}

const Value *Contents::value(const std::string &key, const std::string &name) const
{
    auto found = registry.find(value_key(key, name));
    return found == registry.end() ? nullptr : &found->second;
}

void Contents::set(const Value &value)
{
    registry[value_key(value.key, value.name)] = value;
}

namespace {

// What one map of a's holds that b's does not, or holds otherwise; shown
// names an entry, same tells whether two are alike.
template <typename Map, typename Show, typename Same>
std::string first_difference(const Map &a, const Map &b, const std::string &name_a,
                             const std::string &name_b, Show shown, Same same)
{
    for (const auto &[key, entry] : a) {
        auto other = b.find(key);
        if (other == b.end())
            return name_a + " leaves " + shown(entry) + ", " + name_b + " does not";
        if (!same(entry, other->second))
            return name_a + " leaves " + shown(entry) + ", " + name_b + " " + shown(other->second);
    }
    for (const auto &[key, entry] : b) {
        if (a.count(key) == 0)
            return name_b + " leaves " + shown(entry) + ", " + name_a + " does not";
    }
    return "";
}

}  // namespace

std::string difference(const Contents &a, const Contents &b, const std::string &name_a,
                       const std::string &name_b)
{
    std::string found = first_difference(
        a.files, b.files, name_a, name_b,
        [](const File &file) {
            return file.path + " (" + std::to_string(file.bytes.size()) + " bytes, dated " +
                   std::to_string(file.date) + ")";
        },
        [](const File &x, const File &y) { return x.bytes == y.bytes && x.date == y.date; });
    if (found.empty())
        found = first_difference(
            a.directories, b.directories, name_a, name_b,
            [](const std::string &path) { return path; },
            [](const std::string &, const std::string &) { return true; });
    if (found.empty())
        found = first_difference(
            a.shortcuts, b.shortcuts, name_a, name_b,
            [](const Shortcut &shortcut) { return shortcut.path + " to " + shortcut.target; },
            [](const Shortcut &x, const Shortcut &y) { return x.target == y.target; });
    if (found.empty())
        found = first_difference(
            a.registry, b.registry, name_a, name_b,
            [](const Value &value) {
                return value.key + ": " + value.name + " = " + value.type + " " + value.data;
            },
            [](const Value &x, const Value &y) { return x.type == y.type && x.data == y.data; });
    if (found.empty())
        found = first_difference(
            a.unload_names, b.unload_names, name_a, name_b,
            [](const std::string &name) { return "the unload name \"" + name + "\""; },
            [](const std::string &x, const std::string &y) { return x == y; });
    if (found.empty())
        found = first_difference(
            a.shared, b.shared, name_a, name_b,
            [](int references) { return std::to_string(references) + " shared references"; },
            [](int x, int y) { return x == y; });
    return found;
}

}  // namespace device_contents
