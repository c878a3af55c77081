// The setup file of an installation CAB, in either of its formats, read
// into one plain description of the install: the legacy binary NAME.000
// (legacy_setup.cpp) and the XML _setup.xml (xml_setup.cpp). Paths are
// kept as the setup file writes them, macros and all; what an installer
// then does with the description is installer_rules.h's and installer.h's.

#ifndef CE_RUN_SETUP_FILE_H
#define CE_RUN_SETUP_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "problem.h"
#include "version.h"

namespace setup {

enum class Format { legacy, xml };

const char *name(Format format);  // ".000" or "_setup.xml"

// The CopyFiles flags a legacy file entry carries; the XML's Extract
// parms are the same flags by name (extract_parms).
constexpr std::uint32_t warn_if_skipped = 0x1;
constexpr std::uint32_t no_skip = 0x2;
constexpr std::uint32_t never_overwrite = 0x10;
constexpr std::uint32_t only_over_existing = 0x400;
constexpr std::uint32_t self_register = 0x10000000;
constexpr std::uint32_t keep_newer = 0x20000000;
constexpr std::uint32_t overwrite = 0x40000000;
constexpr std::uint32_t shared = 0x80000000;
constexpr std::uint32_t known_flags = warn_if_skipped | no_skip | never_overwrite |
                                      only_over_existing | self_register | keep_newer |
                                      overwrite | shared;

// Each Extract parm of _setup.xml and the flag it is, as real CabWiz files
// give both for one file (docs/sources.md, section 12).
struct ExtractParm {
    const char *name;
    std::uint32_t flag;
};
constexpr ExtractParm extract_parms[] = {
    {"WarnIfSkip", warn_if_skipped},   {"NoOverwrite", never_overwrite},
    {"SelfRegister", self_register},   {"NoOverwriteIfNewer", keep_newer},
    {"NoDateCheck", overwrite},        {"Shared", shared},
};

// What a FileOperation does to one path. Extract takes a file from the
// cabinet, Shortcut makes a shortcut to source, Copy and Move take an
// existing device file, Delete removes one; MakeDir and RemoveDir work on
// the directory itself.
enum class Operation { extract, shortcut, copy, move, remove, make_dir, remove_dir };

struct Step {
    Operation operation;
    std::string directory;  // "%CE1%\App", "%InstallDir%"
    std::string name;       // the file's name in it; empty for make_dir and remove_dir
    // extract: the cabinet's entry ("stowkey.001"); shortcut, copy and
    // move: the device path it names, macros and all.
    std::string source;
    std::uint32_t flags = 0;      // extract: the CopyFiles flags
    bool expands_source = false;  // shortcut, copy, move: macros in source are expanded
    // Macros in directory and name are expanded: always in a .000; in the
    // XML where the directory's characteristic says translation="install".
    bool expands = true;
};

// Registry roots as the legacy file numbers them: 1 HKCR to 4 HKU.
enum class Root { classes_root = 1, current_user, local_machine, users };
const char *name(Root root);  // "HKEY_LOCAL_MACHINE"

// A registry value's type: the legacy file's four, and the XML's boolean
// and float, which it alone has (what the provider stores for them is
// unsourced, so they are kept as the XML writes them).
enum class Type { string, multi_string, dword, binary, boolean, floating };
const char *name(Type type);  // "string", "multi_string", "dword", ...

struct Value {
    Root root;
    std::string key;   // "SOFTWARE\App"
    std::string name;  // "" for the key's default value
    Type type;
    std::vector<std::string> strings;  // string, multi_string
    std::vector<std::uint8_t> bytes;   // binary, from the legacy file
    std::int64_t number = 0;           // dword, boolean
    std::string text;                  // floating, and binary from the XML: as written
    bool expands = false;              // macros in the strings are expanded
    bool keeps_existing = false;       // "do not overwrite an existing value"
};

// One setting of the CertificateStore and SecurityPolicy providers'
// characteristics, as the document gives it (docs/sources.md).
struct Provision {
    enum Kind { add_certificate, delete_certificate, set_policy } kind = add_certificate;
    std::string store;    // as the document names it: "SPC", "ROOT", ...
    std::string name;     // the certificate's characteristic: its SHA-1 in hex, as written
    std::string encoded;  // its EncodedCertificate parm (base64); "" when it has none
    bool has_encoded = false;
    bool role_given = false;
    std::uint32_t role = 0;                      // its Role parm
    std::uint32_t policy = 0, policy_value = 0;  // set_policy
};

struct Description {
    Format format = Format::legacy;
    std::string application;      // the XML's AppName is "PROVIDER APPLICATION"
    std::string provider;         // the legacy format's only
    bool has_processor = false;   // the XML may leave ProcessorType out
    std::uint32_t processor = 0;
    // The processor, versions and builds are read: a reader that fails
    // after them leaves them for the installer's checks, which come first.
    bool range_read = false;
    Version lowest, highest;      // CE versions, both inclusive
    bool highest_given = true;    // the XML may leave OSVersionMax out
    std::uint32_t lowest_build = 0, highest_build = 0;
    bool highest_build_given = true;
    // The XML's InstallDir, or the .000's string 1, where CabWiz writes
    // it; macros and all.
    std::string install_dir;
    bool install_dir_expands = true;  // the XML's InstallDir says translation="install"
    // The unsupported platforms: the .000's list, or the XML's one text,
    // where CabWiz runs the names together ("HPCJUPITER").
    std::vector<std::string> unsupported;
    bool setup_dll = false;                // the XML's SetupDLL parm is there
    std::vector<Step> steps;               // in the order the installer takes them
    std::vector<Value> values;
    // A provisioning document may stand without an Install characteristic
    // (the XML's only): it then has no range, no name and no files.
    bool has_install = true;
    std::vector<Provision> provisions;  // in the document's order
    // What the setup file counts (NumFiles, NumDirs ...), or -1 where it does
    // not say.
    long declared_files = -1, declared_directories = -1, declared_values = -1,
         declared_shortcuts = -1;
};

// The most a setup file may be: far more than any real one.
constexpr std::size_t max_size = 1 << 20;

// Each reader checks every offset, length and count before it uses it;
// on failure it returns false with a one-line reason.
bool read_legacy(const std::vector<std::uint8_t> &bytes, Description &out, Problem &problem);
bool read_xml(const std::vector<std::uint8_t> &bytes, Description &out, Problem &problem);

}  // namespace setup

#endif
