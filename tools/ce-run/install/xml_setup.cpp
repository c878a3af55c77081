// The XML setup file, _setup.xml: a wap-provisioningdoc with an Install
// characteristic (its parms: versions, builds, the application's name)
// and a FileOperation characteristic (directories, and in each the files
// extracted from the cabinet), parsed with libxml2.

#include "setup_file.h"

#include <map>
#include <memory>

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

// An attribute's value, "" when it is absent.
std::string attribute(xmlNode *node, const char *name)
{
    xmlChar *value = xmlGetProp(node, reinterpret_cast<const xmlChar *>(name));
    std::string out = value != nullptr ? reinterpret_cast<const char *>(value) : "";
    xmlFree(value);
    return out;
}

bool is_number(const std::string &text)
{
    return !text.empty() && text.size() <= 10 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

// "7.99"; absent, no limit.
bool parse_version(const std::string &text, Version &version)
{
    if (text.empty())
        return true;
    std::size_t dot = text.find('.');
    std::string major = text.substr(0, dot);
    std::string minor = dot == std::string::npos ? "0" : text.substr(dot + 1);
    if (!is_number(major) || !is_number(minor) || std::stoull(major) > 0xFFFFFFFF ||
        std::stoull(minor) > 0xFFFFFFFF)
        return false;
    version = {std::uint32_t(std::stoull(major)), std::uint32_t(std::stoull(minor))};
    return true;
}

// A build number, written as CabWiz writes it: signed 32-bit decimal
// (-536870912 is 0xE0000000); absent, no limit.
bool parse_build(const std::string &text, std::uint32_t &build)
{
    if (text.empty())
        return true;
    bool negative = text[0] == '-';
    std::string digits = negative ? text.substr(1) : text;
    if (!is_number(digits))
        return false;
    long long value = std::stoll(digits) * (negative ? -1 : 1);
    if (value < -2147483648LL || value > 4294967295LL)
        return false;
    build = std::uint32_t(value);
    return true;
}

bool read_install(xmlNode *install, Description &out, std::map<std::string, std::string> &parms,
                  std::string &error)
{
    for (xmlNode *parm = install->children; parm != nullptr; parm = parm->next) {
        if (parm->type != XML_ELEMENT_NODE)
            continue;
        if (!named(parm, "parm")) {
            error = "the Install characteristic holds a " +
                    std::string(reinterpret_cast<const char *>(parm->name)) + " element";
            return false;
        }
        std::string name = attribute(parm, "name");
        if (!parms.emplace(name, attribute(parm, "value")).second) {
            error = "the Install parm " + name + " is given twice";
            return false;
        }
    }
    if (parms["InstallPhase"] != "install") {
        error = "its InstallPhase is '" + parms["InstallPhase"] + "', not install";
        return false;
    }
    out.application = parms["AppName"];
    if (out.application.empty()) {
        error = "it gives no AppName";
        return false;
    }
    const std::pair<const char *, Version *> versions[] = {{"OSVersionMin", &out.lowest},
                                                           {"OSVersionMax", &out.highest}};
    for (auto [name, version] : versions) {
        if (!parse_version(parms[name], *version)) {
            error = std::string(name) + " '" + parms[name] + "' is not a version";
            return false;
        }
    }
    const std::pair<const char *, std::uint32_t *> builds[] = {
        {"BuildNumberMin", &out.lowest_build}, {"BuildNumberMax", &out.highest_build}};
    for (auto [name, build] : builds) {
        if (!parse_build(parms[name], *build)) {
            error = std::string(name) + " '" + parms[name] + "' is not a 32-bit build number";
            return false;
        }
    }
    return true;
}

// Each directory's files: the characteristic of a file holds an Extract
// whose Source parm names the cabinet's entry; MakeDir makes the directory.
bool read_file_operation(xmlNode *operation, Description &out, std::string &error)
{
    for (xmlNode *directory = operation->children; directory != nullptr;
         directory = directory->next) {
        if (directory->type != XML_ELEMENT_NODE)
            continue;
        if (!named(directory, "characteristic") || attribute(directory, "type").empty()) {
            error = "FileOperation holds something other than a directory's characteristic";
            return false;
        }
        for (xmlNode *file = directory->children; file != nullptr; file = file->next) {
            if (file->type != XML_ELEMENT_NODE)
                continue;
            std::string name = attribute(file, "type");
            if (!named(file, "characteristic") || name.empty() ||
                name.find_first_of("\\/") != std::string::npos) {
                error = "the directory " + attribute(directory, "type") +
                        " holds something other than characteristics";
                return false;
            }
            if (name == "MakeDir")
                continue;
            std::string source;
            for (xmlNode *extract = file->children; extract != nullptr; extract = extract->next) {
                if (!named(extract, "characteristic") || attribute(extract, "type") != "Extract")
                    continue;
                for (xmlNode *parm = extract->children; parm != nullptr; parm = parm->next) {
                    if (named(parm, "parm") && attribute(parm, "name") == "Source")
                        source = attribute(parm, "value");
                }
            }
            if (source.empty()) {
                error = "the file " + name + " has no Extract with a Source";
                return false;
            }
            // Extract replaces a file that is there: no flags are documented for it.
            out.files.push_back({attribute(directory, "type"), name, source, 0, overwrite});
        }
    }
    return true;
}

}  // namespace

bool read_xml(const std::vector<std::uint8_t> &bytes, Description &out, std::string &error)
{
    if (bytes.size() > max_size) {
        error = "it is larger than " + std::to_string(max_size) + " bytes";
        return false;
    }
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
        error = "not well-formed XML: " + why +
                (parse_error != nullptr ? " (line " + std::to_string(parse_error->line) + ")" : "");
        return false;
    }
    if (document->intSubset != nullptr) {
        error = "it has a DOCTYPE, which no setup file has";
        return false;
    }
    xmlNode *root = xmlDocGetRootElement(document.get());
    if (root == nullptr || !named(root, "wap-provisioningdoc")) {
        error = "its root is not a wap-provisioningdoc";
        return false;
    }
    out = Description();
    std::map<std::string, std::string> parms;
    bool has_install = false, has_files = false;
    for (xmlNode *node = root->children; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE)
            continue;
        std::string type = attribute(node, "type");
        if (!named(node, "characteristic") || (type != "Install" && type != "FileOperation")) {
            error = "it has a characteristic ce-run does not model: '" + type + "'";
            return false;
        }
        if ((type == "Install" ? has_install : has_files)) {
            error = "it has two " + type + " characteristics";
            return false;
        }
        (type == "Install" ? has_install : has_files) = true;
        if (type == "Install" ? !read_install(node, out, parms, error)
                              : !read_file_operation(node, out, error))
            return false;
    }
    if (!has_install) {
        error = "it has no Install characteristic";
        return false;
    }
    if (!parms["NumFiles"].empty() && parms["NumFiles"] != std::to_string(out.files.size())) {
        error = "its NumFiles is " + parms["NumFiles"] + ", and its FileOperation extracts " +
                std::to_string(out.files.size());
        return false;
    }
    return true;
}

}  // namespace setup
