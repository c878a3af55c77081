#include "fleet.h"

#include <set>

#include <toml++/toml.h>

#include "input_file.h"

namespace check {

namespace {

// A device's keys: each is the single run's option of that name (but
// name and installed), a text, a list of texts or a flag; a path in it,
// the whole value or what follows its first "=", is relative to the
// fleet file.
enum class Kind { text, texts, flag };
enum class Path { none, whole, after_equals };
struct Key {
    const char *name;
    Kind kind;
    Path path;
};
constexpr Key keys[] = {
    {"name", Kind::text, Path::none},          {"platform", Kind::text, Path::none},
    {"cpu", Kind::text, Path::none},           {"security", Kind::text, Path::none},
    {"answer", Kind::text, Path::none},        {"device-date", Kind::text, Path::none},
    {"strict-nx", Kind::flag, Path::none},     {"missing", Kind::texts, Path::none},
    {"store", Kind::texts, Path::after_equals}, {"policy", Kind::texts, Path::none},
    {"device-file", Kind::texts, Path::after_equals}, {"device-value", Kind::texts, Path::none},
    {"installed", Kind::texts, Path::whole},
};

// The single run's options from --check's: all but the check's own.
Options single_of(const Options &base)
{
    Options single = base;
    single.check = false;
    single.check_cabs.clear();
    single.fleet_path.clear();
    single.format = "text";
    return single;
}

// The command line's security options, on a platform without a
// security model: they are for the devices that have one.
void drop_security_off_model(Options &options)
{
    if (options.platform == nullptr || options.platform->has_security_model)
        return;
    options.security_given = options.stores_given = options.answer_given = false;
    options.policies_given.clear();
}

// The device's options checked as a single run takes them, with a CAB
// to install (each cell gives its own), and its security model's policies
// settled; -1, else the exit status, its message printed.
int settle_as_single_run(Options &options)
{
    options.cab_paths = {"-"};
    options.install_only = options.run_path.empty();
    int status = settle_device(options);
    options.cab_paths.clear();
    return status;
}

std::string relative_to(const std::string &folder, const std::string &path)
{
    return path.empty() || path[0] == '/' ? path : folder + path;
}

std::string with_path(const Key &key, const std::string &folder, const std::string &value)
{
    if (key.path == Path::whole)
        return relative_to(folder, value);
    std::size_t equals = value.find('=');
    if (key.path == Path::none || equals == std::string::npos)
        return value;
    return value.substr(0, equals + 1) + relative_to(folder, value.substr(equals + 1));
}

std::string at(const std::string &file, const toml::node &node)
{
    return file + ":" + std::to_string(node.source().begin.line) + ": ";
}

int wrong(int status, const std::string &where, const std::string &message)
{
    set_complaint_context(where);
    complain(status, message);
    set_complaint_context("");
    return status;
}

// One key's values as texts; false when it is not of its kind.
bool texts_of(const Key &key, const toml::node &node, std::vector<std::string> &out)
{
    if (key.kind == Kind::flag) {
        if (!node.is_boolean())
            return false;
        if (*node.value<bool>())
            out.push_back("");
        return true;
    }
    if (key.kind == Kind::text) {
        if (!node.is_string())
            return false;
        out.push_back(*node.value<std::string>());
        return true;
    }
    const toml::array *array = node.as_array();
    if (array == nullptr)
        return false;
    for (const toml::node &element : *array) {
        if (!element.is_string())
            return false;
        out.push_back(*element.value<std::string>());
    }
    return true;
}

const char *kind_text(Kind kind)
{
    switch (kind) {
    case Kind::text: return "a string";
    case Kind::texts: return "an array of strings";
    case Kind::flag: return "true or false";
    }
    return "";
}

int read_device(const std::string &file, const std::string &folder, const toml::table &table,
                const Options &base, Device &device)
{
    device.options = single_of(base);
    std::string context = at(file, table);
    for (const char *required : {"name", "platform"}) {
        if (!table.contains(required))
            return wrong(exit_usage, context, "a device without the key '" + std::string(required) + "'");
    }
    // The platform first: what the other keys mean may depend on it.
    std::vector<std::pair<std::string, const toml::node *>> ordered;
    ordered.push_back({"platform", table.get("platform")});
    for (const auto &[name, node] : table) {
        if (name.str() != "platform")
            ordered.push_back({std::string(name.str()), &node});
    }
    for (const auto &[name, node] : ordered) {
        const Key *key = nullptr;
        for (const Key &known : keys)
            key = name == known.name ? &known : key;
        std::string where = at(file, *node) + "key '" + name + "': ";
        if (key == nullptr)
            return wrong(exit_usage, at(file, *node), "unknown key '" + name + "'");
        std::vector<std::string> values;
        if (!texts_of(*key, *node, values))
            return wrong(exit_usage, where, std::string("it is not ") + kind_text(key->kind));
        for (const std::string &value : values) {
            std::string given = with_path(*key, folder, value);
            if (name == "name") {
                device.name = given;
            } else if (name == "installed") {
                device.installed.push_back(given);
            } else {
                set_complaint_context(where);
                int status = apply_option(name, given, device.options);
                set_complaint_context("");
                if (status >= 0)
                    return status;
                if (name == "platform")
                    drop_security_off_model(device.options);
            }
        }
    }
    if (device.name.empty())
        return wrong(exit_usage, context, "a device whose name is empty");
    set_complaint_context(context + "device '" + device.name + "': ");
    int status = settle_as_single_run(device.options);
    set_complaint_context("");
    return status;
}

}  // namespace

int every_platform(const Options &base, std::vector<Device> &devices)
{
    for (const installer::Platform &platform : installer::platforms) {
        if (base.platform != nullptr && base.platform != &platform)
            continue;
        Device device{platform.option, single_of(base), {}};
        device.options.platform = &platform;
        drop_security_off_model(device.options);
        int status = settle_as_single_run(device.options);
        if (status >= 0)
            return status;
        devices.push_back(device);
    }
    return -1;
}

int read_fleet(const std::string &path, const Options &base, std::vector<Device> &devices)
{
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!read_file(path, bytes, error))
        return complain(exit_unreadable_input, "--fleet: cannot read " + path + ": " + error);
    std::size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    toml::table document;
    try {
        document = toml::parse(std::string_view(reinterpret_cast<const char *>(bytes.data()),
                                                bytes.size()),
                               path);
    } catch (const toml::parse_error &parse_error) {
        return complain(exit_usage, path + ":" + std::to_string(parse_error.source().begin.line) +
                                        ": not TOML: " + std::string(parse_error.description()));
    }
    for (const auto &[name, node] : document) {
        if (name.str() != "device")
            return complain(exit_usage, at(path, node) + "unknown key '" + std::string(name.str()) +
                                            "' (a fleet file holds [[device]] tables)");
    }
    const toml::array *list = document["device"].as_array();
    if (list == nullptr || list->empty() || !list->is_array_of_tables())
        return complain(exit_usage, path + ": no [[device]] tables: a fleet file names its devices");
    if (list->size() > max_devices)
        return complain(exit_usage, path + ": " + std::to_string(list->size()) +
                                        " devices, more than ce-run's " + std::to_string(max_devices));
    std::set<std::string> names;
    for (const toml::node &node : *list) {
        Device device;
        int status = read_device(path, folder, *node.as_table(), base, device);
        if (status >= 0)
            return status;
        if (!names.insert(device.name).second)
            return complain(exit_usage, at(path, node) + "a second device named '" + device.name + "'");
        devices.push_back(device);
    }
    return -1;
}

}  // namespace check
