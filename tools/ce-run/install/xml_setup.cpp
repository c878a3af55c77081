// The XML setup file, _setup.xml: a wap-provisioningdoc with an Install
// characteristic (its parms: versions, builds, the application's name,
// the install directory), a FileOperation characteristic (directories,
// and in each the files extracted from the cabinet, shortcuts, copies,
// moves and deletions), a Registry characteristic (keys, and a parm for
// each value), and CertificateStore and SecurityPolicy characteristics
// (provisioning), parsed with libxml2. The parms and operations are those
// of the Install, FileOperation and Registry configuration service
// providers and of real CabWiz output (docs/sources.md).

#include "setup_file.h"

#include <map>
#include <memory>
#include <set>

#include <libxml/parser.h>
#include <libxml/tree.h>

namespace setup {

namespace {

using Document = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

// libxml2 reports some errors (a wrong encoding, say) to standard error
// whatever the parser's options; ce-run reports them itself.
void ignore(void *, const char *, ...) {}

bool named(const xmlNode *node, const char *name)
{
    return node->type == XML_ELEMENT_NODE &&
           xmlStrcmp(node->name, reinterpret_cast<const xmlChar *>(name)) == 0;
}

std::string element_name(const xmlNode *node)
{
    return reinterpret_cast<const char *>(node->name);
}

// An attribute's value, "" when it is absent.
std::string attribute(xmlNode *node, const char *name)
{
    xmlChar *value = xmlGetProp(node, reinterpret_cast<const xmlChar *>(name));
    std::string out = value != nullptr ? reinterpret_cast<const char *>(value) : "";
    xmlFree(value);
    return out;
}

bool has_attribute(xmlNode *node, const char *name)
{
    return xmlHasProp(node, reinterpret_cast<const xmlChar *>(name)) != nullptr;
}

bool fail(Problem &problem, const std::string &why)
{
    problem = {false, why};
    return false;
}

bool not_modelled(Problem &problem, const std::string &why)
{
    problem = {true, why};
    return false;
}

// The element children of node, which must all be characteristics or
// parms as allowed; anything else is a kind of element ce-run does not model.
bool children(xmlNode *node, const char *where, bool parms, bool characteristics,
              std::vector<xmlNode *> &out, Problem &problem)
{
    for (xmlNode *child = node->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        bool allowed = (parms && named(child, "parm")) ||
                       (characteristics && named(child, "characteristic"));
        if (!allowed)
            return not_modelled(problem, std::string(where) + " holds a " + element_name(child) +
                                             " element, which ce-run does not model there");
        out.push_back(child);
    }
    return true;
}

bool is_number(const std::string &text)
{
    return !text.empty() && text.size() <= 10 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

bool parse_version(const std::string &text, Version &version)
{
    std::size_t dot = text.find('.');
    std::string major = text.substr(0, dot);
    std::string minor = dot == std::string::npos ? "0" : text.substr(dot + 1);
    if (!is_number(major) || !is_number(minor) || std::stoull(major) > 0xFFFFFFFF ||
        std::stoull(minor) > 0xFFFFFFFF)
        return false;
    version = {std::uint32_t(std::stoull(major)), std::uint32_t(std::stoull(minor))};
    return true;
}

// A decimal number, signed or not, from minimum to maximum.
bool parse_integer(const std::string &text, long long minimum, long long maximum,
                   long long &value)
{
    bool negative = !text.empty() && text[0] == '-';
    std::string digits = negative ? text.substr(1) : text;
    if (!is_number(digits))
        return false;
    value = std::stoll(digits) * (negative ? -1 : 1);
    return value >= minimum && value <= maximum;
}

// The Install parms, each as the Install CSP and CabWiz write it.
const std::set<std::string> install_parms = {
    "InstallPhase", "SetupDLL", "AppName", "InstallDir", "OSVersionMin", "OSVersionMax",
    "BuildNumberMin", "BuildNumberMax", "NumDirs", "NumFiles", "NumRegKeys", "NumRegVals",
    "NumRegValues", "NumShortcuts", "ProcessorType", "UnsupportedPlatforms"};
constexpr std::size_t max_application_name = 70;  // the Install CSP's limit

bool read_versions(std::map<std::string, std::string> &parms, Description &out, Problem &problem)
{
    const std::pair<const char *, Version *> versions[] = {{"OSVersionMin", &out.lowest},
                                                           {"OSVersionMax", &out.highest}};
    for (auto [name, version] : versions) {
        if (parms.count(name) != 0 && !parse_version(parms[name], *version))
            return fail(problem, std::string(name) + " '" + parms[name] + "' is not a version");
    }
    // A build number as CabWiz writes it: signed 32-bit decimal
    // (-536870912 is 0xE0000000).
    const std::pair<const char *, std::uint32_t *> builds[] = {
        {"BuildNumberMin", &out.lowest_build}, {"BuildNumberMax", &out.highest_build}};
    for (auto [name, build] : builds) {
        long long value = 0;
        if (parms.count(name) != 0 &&
            !parse_integer(parms[name], -2147483648LL, 4294967295LL, value))
            return fail(problem, std::string(name) + " '" + parms[name] +
                                     "' is not a 32-bit build number");
        *build = std::uint32_t(value);
    }
    out.highest_given = parms.count("OSVersionMax") != 0;
    out.highest_build_given = parms.count("BuildNumberMax") != 0;
    long long processor = 0;
    if (parms.count("ProcessorType") != 0 &&
        !parse_integer(parms["ProcessorType"], 0, 4294967295LL, processor))
        return fail(problem, "ProcessorType '" + parms["ProcessorType"] + "' is not a processor number");
    out.has_processor = parms.count("ProcessorType") != 0;
    out.processor = std::uint32_t(processor);
    out.range_read = true;
    return true;
}

// The Install parms. One ce-run does not know, or one given twice, is
// reported once the versions are read, so that a range that excludes the
// device is refused first.
bool read_install(xmlNode *install, Description &out, std::map<std::string, std::string> &parms,
                  Problem &problem)
{
    std::vector<xmlNode *> nodes;
    if (!children(install, "the Install characteristic", true, false, nodes, problem))
        return false;
    Problem unknown;
    bool install_dir_translated = false;
    for (xmlNode *parm : nodes) {
        std::string name = attribute(parm, "name");
        if (unknown.why.empty() && install_parms.count(name) == 0)
            unknown = {true, "the Install parm '" + name +
                                 "' is not one ce-run knows (names are case-sensitive)"};
        else if (!parms.emplace(name, attribute(parm, "value")).second && unknown.why.empty())
            unknown = {true, "the Install parm " + name + " is given twice"};
        if (name == "InstallDir")
            install_dir_translated = attribute(parm, "translation") == "install";
    }
    if (!read_versions(parms, out, problem))
        return false;
    if (!unknown.why.empty())
        return not_modelled(problem, unknown.why);
    if (parms["InstallPhase"] != "install")
        return not_modelled(problem, "its InstallPhase is '" + parms["InstallPhase"] +
                                         "', and ce-run models only install");
    out.application = parms["AppName"];
    if (out.application.empty())
        return fail(problem, "it gives no AppName");
    if (out.application.size() > max_application_name)
        return fail(problem, "its AppName is " + std::to_string(out.application.size()) +
                                 " characters long, more than the " +
                                 std::to_string(max_application_name) + " the Install CSP takes");
    out.install_dir = parms["InstallDir"];
    out.install_dir_expands = install_dir_translated;
    out.setup_dll = parms.count("SetupDLL") != 0;
    if (!parms["UnsupportedPlatforms"].empty())
        out.unsupported = {parms["UnsupportedPlatforms"]};
    return true;
}

// The .000's flag an Extract parm is, or 0.
std::uint32_t extract_flag(const std::string &name)
{
    for (const ExtractParm &parm : extract_parms) {
        if (name == parm.name)
            return parm.flag;
    }
    return 0;
}

// The one operation under a file's characteristic, and its parms.
bool read_file(xmlNode *file, const std::string &directory, bool expands, Description &out,
               Problem &problem)
{
    const std::string name = attribute(file, "type");
    const std::string what = "the file " + name;
    if (name.empty() || name.find_first_of("\\/") != std::string::npos)
        return fail(problem, "the directory " + directory + " holds a characteristic '" + name +
                                 "', which is no file's name");
    std::vector<xmlNode *> operations;
    if (!children(file, what.c_str(), false, true, operations, problem))
        return false;
    if (operations.empty())
        return fail(problem, what + " has no operation (Extract, Shortcut, Copy, Move, Delete)");
    if (operations.size() > 1)
        return not_modelled(problem, what + " has " + std::to_string(operations.size()) +
                                         " operations; ce-run models one a file");
    const std::map<std::string, Operation> kinds = {
        {"Extract", Operation::extract}, {"Shortcut", Operation::shortcut},
        {"Copy", Operation::copy},       {"Move", Operation::move},
        {"Delete", Operation::remove}};
    std::string kind = attribute(operations[0], "type");
    if (kinds.count(kind) == 0)
        return not_modelled(problem, what + " has the operation '" + kind +
                                         "', which ce-run does not model");
    Step step = {kinds.at(kind), directory, name, "", 0, false, expands};
    std::vector<xmlNode *> parms;
    if (!children(operations[0], (what + "'s " + kind).c_str(), true, false, parms, problem))
        return false;
    for (xmlNode *parm : parms) {
        std::string parm_name = attribute(parm, "name");
        if (parm_name == "Source" && step.operation != Operation::remove) {
            step.source = attribute(parm, "value");
            step.expands_source = attribute(parm, "translation") == "install";
        } else if (step.operation == Operation::extract && extract_flag(parm_name) != 0) {
            step.flags |= extract_flag(parm_name);
        } else {
            return not_modelled(problem, what + "'s " + kind + " has the parm '" + parm_name +
                                             "', which ce-run does not model");
        }
    }
    if (step.source.empty() && step.operation != Operation::remove)
        return fail(problem, what + "'s " + kind + " has no Source");
    out.steps.push_back(step);
    return true;
}

// Each directory's characteristic: MakeDir, RemoveDir, and its files.
bool read_file_operation(xmlNode *operation, Description &out, Problem &problem)
{
    std::vector<xmlNode *> directories;
    if (!children(operation, "FileOperation", false, true, directories, problem))
        return false;
    for (xmlNode *node : directories) {
        std::string directory = attribute(node, "type");
        bool expands = attribute(node, "translation") == "install";
        if (directory.empty())
            return fail(problem, "FileOperation holds a directory without a type");
        std::vector<xmlNode *> files;
        if (!children(node, ("the directory " + directory).c_str(), false, true, files, problem))
            return false;
        for (xmlNode *file : files) {
            std::string type = attribute(file, "type");
            if (type == "MakeDir" || type == "RemoveDir") {
                out.steps.push_back({type == "MakeDir" ? Operation::make_dir : Operation::remove_dir,
                                     directory, "", "", 0, false, expands});
            } else if (!read_file(file, directory, expands, out, problem)) {
                return false;
            }
        }
    }
    return true;
}

// A value's data as its datatype says; strings of a multiplestring are
// separated by U+F000 and ended by two.
bool read_data(const std::string &text, const std::string &what, Value &value, Problem &problem)
{
    long long number = 0;
    switch (value.type) {
    case Type::dword:
        if (!parse_integer(text, -2147483648LL, 2147483647LL, number))
            return fail(problem, what + " '" + text + "' is not a signed 32-bit integer, "
                                        "which the Registry provider fails on");
        value.number = number;
        return true;
    case Type::boolean:
        if (text != "0" && text != "1")
            return fail(problem, what + " '" + text + "' is not a boolean (0 or 1)");
        value.number = text == "1";
        return true;
    case Type::multi_string: {
        const std::string separator = "\xEF\x80\x80";  // U+F000 in UTF-8
        if (text.size() < 6 || text.compare(text.size() - 6, 6, separator + separator) != 0)
            return fail(problem, what + " is not strings ended by two U+F000");
        for (std::size_t start = 0; start + 3 < text.size();) {
            std::size_t end = text.find(separator, start);
            value.strings.push_back(text.substr(start, end - start));
            start = end + 3;
        }
        return true;
    }
    case Type::string:
        value.strings = {text};
        return true;
    default:
        value.text = text;
        return true;
    }
}

// Each key's characteristic, and in it a parm for each value.
bool read_registry(xmlNode *registry, Description &out, long &keys, Problem &problem)
{
    const std::map<std::string, Type> types = {
        {"string", Type::string},   {"multiplestring", Type::multi_string},
        {"integer", Type::dword},   {"binary", Type::binary},
        {"boolean", Type::boolean}, {"float", Type::floating}};
    const std::map<std::string, Root> roots = {
        {"HKCR", Root::classes_root}, {"HKCU", Root::current_user},
        {"HKLM", Root::local_machine}, {"HKU", Root::users}};
    std::vector<xmlNode *> nodes;
    if (!children(registry, "Registry", false, true, nodes, problem))
        return false;
    for (xmlNode *node : nodes) {
        std::string path = attribute(node, "type");
        std::string root = path.substr(0, path.find('\\'));
        if (roots.count(root) == 0 || root.size() + 1 >= path.size())
            return fail(problem, "the registry key '" + path + "' is not under HKCR, HKCU, HKLM or HKU");
        std::vector<xmlNode *> parms;
        if (!children(node, ("the registry key " + path).c_str(), true, false, parms, problem))
            return false;
        keys++;
        for (xmlNode *parm : parms) {
            Value value = {roots.at(root), path.substr(root.size() + 1), attribute(parm, "name"),
                           Type::string, {}, {}, 0, "", attribute(parm, "translation") == "install",
                           false};
            std::string what = "the registry value " + path + "\\" + value.name;
            std::string datatype = attribute(parm, "datatype");
            if (types.count(datatype) == 0)
                return not_modelled(problem, what + " has the datatype '" + datatype +
                                                 "', which ce-run does not model");
            value.type = types.at(datatype);
            if (!has_attribute(parm, "value"))
                return fail(problem, what + " has no value");
            if (!read_data(attribute(parm, "value"), what, value, problem))
                return false;
            out.values.push_back(value);
        }
    }
    return true;
}

// What the Install parms count against what the file holds: whether an
// installer checks them is unsourced, so a difference is not modelled.
// NumDirs counts CabWiz's directory table, which keeps directories no
// file uses: it may be more than the MakeDirs.
bool check_counts(std::map<std::string, std::string> &parms, const Description &out,
                  long keys, Problem &problem)
{
    long files = 0, directories = 0, shortcuts = 0;
    for (const Step &step : out.steps) {
        files += step.operation == Operation::extract;
        directories += step.operation == Operation::make_dir;
        shortcuts += step.operation == Operation::shortcut;
    }
    const std::pair<const char *, long> counts[] = {
        {"NumFiles", files}, {"NumDirs", directories}, {"NumShortcuts", shortcuts},
        {"NumRegKeys", keys}, {"NumRegVals", long(out.values.size())},
        {"NumRegValues", long(out.values.size())}};
    for (auto [name, count] : counts) {
        long long declared = 0;
        if (parms.count(name) == 0 ||
            (std::string(name) == "NumDirs" && parse_integer(parms[name], count, 65535, declared)))
            continue;
        if (parms[name] != std::to_string(count))
            return not_modelled(problem, "its " + std::string(name) + " is " + parms[name] +
                                             ", and it holds " + std::to_string(count));
    }
    return true;
}

// The CertificateStore characteristic: a characteristic for each store,
// in which a characteristic named by a certificate's SHA-1 adds it (its
// parms EncodedCertificate and Role) and a nocharacteristic deletes it.
bool read_certificate_store(xmlNode *node, Description &out, Problem &problem)
{
    std::vector<xmlNode *> stores;
    if (!children(node, "the CertificateStore characteristic", false, true, stores, problem))
        return false;
    for (xmlNode *store : stores) {
        std::string store_name = attribute(store, "type");
        for (xmlNode *child = store->children; child != nullptr; child = child->next) {
            if (child->type != XML_ELEMENT_NODE)
                continue;
            Provision provision;
            provision.store = store_name;
            provision.name = attribute(child, "type");
            std::string what = "the " + store_name + " store's " + element_name(child) + " '" +
                               provision.name + "'";
            if (named(child, "nocharacteristic")) {
                provision.kind = Provision::delete_certificate;
                out.provisions.push_back(provision);
                continue;
            }
            if (!named(child, "characteristic"))
                return not_modelled(problem, "the " + store_name + " store holds a " +
                                                 element_name(child) + " element, which ce-run "
                                                 "does not model there");
            std::vector<xmlNode *> parms;
            if (!children(child, what.c_str(), true, false, parms, problem))
                return false;
            for (xmlNode *parm : parms) {
                std::string name = attribute(parm, "name"), value = attribute(parm, "value");
                long long role = 0;
                if (name == "EncodedCertificate") {
                    provision.encoded = value;
                    provision.has_encoded = true;
                } else if (name == "Role" && parse_integer(value, 0, 4294967295LL, role)) {
                    provision.role_given = true;
                    provision.role = std::uint32_t(role);
                } else if (name == "Role") {
                    return fail(problem, what + " has the Role '" + value + "', not a decimal role mask");
                } else {
                    return not_modelled(problem, what + " has the parm '" + name +
                                                     "', which ce-run does not model");
                }
            }
            out.provisions.push_back(provision);
        }
    }
    return true;
}

// The SecurityPolicy characteristic: a parm for each policy, its name the
// policy's decimal id, its value a DWORD.
bool read_security_policy(xmlNode *node, Description &out, Problem &problem)
{
    std::vector<xmlNode *> parms;
    if (!children(node, "the SecurityPolicy characteristic", true, false, parms, problem))
        return false;
    for (xmlNode *parm : parms) {
        Provision provision;
        provision.kind = Provision::set_policy;
        long long id = 0, value = 0;
        std::string name = attribute(parm, "name"), text = attribute(parm, "value");
        if (!parse_integer(name, 0, 4294967295LL, id) || !parse_integer(text, 0, 4294967295LL, value))
            return fail(problem, "its SecurityPolicy parm '" + name + "' = '" + text +
                                     "' is not a policy id and a DWORD, both decimal");
        provision.policy = std::uint32_t(id);
        provision.policy_value = std::uint32_t(value);
        out.provisions.push_back(provision);
    }
    return true;
}

// The characteristics of the document and of the documents nested in
// it, as CabWiz's /prexml and /postxml nest them, in order.
bool characteristics(xmlNode *document, int depth, std::vector<xmlNode *> &out, Problem &problem)
{
    constexpr int max_depth = 8;
    if (depth > max_depth)
        return not_modelled(problem, "it nests wap-provisioningdocs more than " +
                                         std::to_string(max_depth) + " deep");
    for (xmlNode *child = document->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        if (named(child, "wap-provisioningdoc")) {
            if (!characteristics(child, depth + 1, out, problem))
                return false;
        } else if (named(child, "characteristic")) {
            out.push_back(child);
        } else {
            return not_modelled(problem, "the wap-provisioningdoc holds a " + element_name(child) +
                                             " element, which ce-run does not model there");
        }
    }
    return true;
}

// The Install characteristic first, for the checks that come before
// anything else; then the others in order.
bool read_root(xmlNode *root, Description &out, Problem &problem)
{
    std::map<std::string, std::string> parms;
    std::vector<xmlNode *> nodes;
    long keys = 0;
    if (!characteristics(root, 0, nodes, problem))
        return false;
    std::map<std::string, int> seen;
    for (xmlNode *node : nodes)
        seen[attribute(node, "type")]++;
    for (xmlNode *node : nodes) {
        if (attribute(node, "type") == "Install" && !read_install(node, out, parms, problem))
            return false;
    }
    for (xmlNode *node : nodes) {
        std::string type = attribute(node, "type");
        bool provisioning = type == "CertificateStore" || type == "SecurityPolicy";
        if (type != "Install" && type != "FileOperation" && type != "Registry" && !provisioning)
            return not_modelled(problem, "it has a characteristic ce-run does not model: '" +
                                             type + "'");
        if (seen[type] > 1 && !provisioning)
            return not_modelled(problem, "it has " + std::to_string(seen[type]) + " " + type +
                                             " characteristics");
        bool read = type == "Install"            ? true
                    : type == "FileOperation"    ? read_file_operation(node, out, problem)
                    : type == "Registry"         ? read_registry(node, out, keys, problem)
                    : type == "CertificateStore" ? read_certificate_store(node, out, problem)
                                                 : read_security_policy(node, out, problem);
        if (!read)
            return false;
    }
    // Any provider's characteristic may stand without an Install one (a
    // provisioning CAB); files and values need it.
    out.has_install = seen["Install"] != 0;
    if (!out.has_install && out.provisions.empty())
        return fail(problem, "it has no Install characteristic");
    if (!out.has_install && (!out.steps.empty() || !out.values.empty()))
        return not_modelled(problem, "it has files or registry values and no Install characteristic");
    return check_counts(parms, out, keys, problem);
}

}  // namespace

bool read_xml(const std::vector<std::uint8_t> &bytes, Description &out, Problem &problem)
{
    if (bytes.size() > max_size)
        return fail(problem, "it is larger than " + std::to_string(max_size) + " bytes");
    // No network, no external entities, no DTD loading: only the bytes given.
    xmlSetGenericErrorFunc(nullptr, ignore);
    xmlResetLastError();
    Document document(xmlReadMemory(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()),
                                    "_setup.xml", nullptr,
                                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
                      xmlFreeDoc);
    if (!document) {
        const xmlError *parse_error = xmlGetLastError();
        std::string why = parse_error != nullptr && parse_error->message != nullptr
                              ? parse_error->message
                              : "unknown error";
        if (!why.empty() && why.back() == '\n')
            why.pop_back();
        return fail(problem, "not well-formed XML: " + why +
                                 (parse_error != nullptr
                                      ? " (line " + std::to_string(parse_error->line) + ")"
                                      : ""));
    }
    if (document->intSubset != nullptr)
        return not_modelled(problem, "it has a DOCTYPE, which no setup file has and ce-run does not read");
    xmlNode *root = xmlDocGetRootElement(document.get());
    if (root == nullptr || !named(root, "wap-provisioningdoc"))
        return fail(problem, "its root is not a wap-provisioningdoc");
    out = Description();
    out.format = Format::xml;
    return read_root(root, out, problem);
}

}  // namespace setup
