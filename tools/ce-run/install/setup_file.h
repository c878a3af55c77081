// The setup file of an installation CAB, in either of its formats, read
// into one plain description of the install: the legacy binary NAME.000
// (legacy_setup.cpp) and the XML _setup.xml (xml_setup.cpp). What an
// installer then does with it is installer_rules.h's.

#ifndef CE_RUN_SETUP_FILE_H
#define CE_RUN_SETUP_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "version.h"

namespace setup {

// The CopyFiles flags a file entry may carry.
constexpr std::uint32_t never_overwrite = 0x10;
constexpr std::uint32_t keep_newer = 0x20000000;
constexpr std::uint32_t overwrite = 0x40000000;

struct File {
    std::string directory;  // as the setup file writes it, macros and all
    std::string name;       // the name it is installed under
    std::string source;     // the cabinet's entry, for the XML format
    std::uint32_t number;   // the entry's number (NAME.NNN), for the legacy format
    std::uint32_t flags;
};

struct Description {
    std::string application;
    std::string provider;         // the legacy format's only
    bool has_processor = false;   // the legacy format's only
    std::uint32_t processor = 0;
    Version lowest, highest;      // CE versions, both inclusive; 0.0: no limit
    std::uint32_t lowest_build = 0, highest_build = 0;  // 0: no limit
    std::vector<File> files;
};

// The most a setup file may be: far more than any real one.
constexpr std::size_t max_size = 1 << 20;

// Each reader checks every offset, length and count before it uses it;
// on a malformed file it returns false with a one-line reason in error.
bool read_legacy(const std::vector<std::uint8_t> &bytes, Description &out, std::string &error);
bool read_xml(const std::vector<std::uint8_t> &bytes, Description &out, std::string &error);

}  // namespace setup

#endif
