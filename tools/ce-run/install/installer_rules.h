// The platforms --platform names, and each one's installer rules, as the
// collected sources give them (docs/sources.md): which setup file its
// installer reads, which CE version it checks, its checks of the cabinet
// and the setup file, its directory macros, and what it does with a file
// that is already there. The steps of an install are installer.h.
//
// The install room (cabinet, setup_file, legacy_setup, xml_setup,
// installer_rules, device_files, installer) reads a CAB and installs it
// into the emulated device; it uses common/, image/ (the releases) and
// run/cpu.h (a platform's processor).

#ifndef CE_RUN_INSTALLER_RULES_H
#define CE_RUN_INSTALLER_RULES_H

#include <cstdint>
#include <string>
#include <string_view>

#include "cpu.h"
#include "loader_rules.h"
#include "setup_file.h"
#include "version.h"

namespace installer {

enum class Reads { legacy, xml, xml_when_present };  // which setup file

struct Platform {
    const char *option;           // as --platform names it
    const char *name;             // "Pocket PC 2003"
    Version version;              // the CE version its installer checks
    loader::Release release;      // whose loader rules apply
    Reads reads;
    cpu::Model cpu;               // a typical device's processor
    bool checks_highest;          // Windows Mobile's does not
    bool checks_cabinet_length;   // the header's length against the file's
    bool refuses_compressed;
};

constexpr int platform_count = 12;
extern const Platform platforms[platform_count];

const Platform *find_platform(std::string_view option);
std::string platform_options();  // "pocketpc2000, ..., compact2013"

// Why the platform's installer refuses the cabinet itself, or "".
std::string cabinet_refusal(const Platform &platform, std::uint64_t header_length,
                            std::uint64_t file_size, bool compressed);

// Why it refuses what the setup file says: processor, versions, builds;
// or "".
std::string setup_refusal(const Platform &platform, const setup::Description &setup,
                          bool legacy);

// The device path of a setup file's directory, its macros expanded; false
// with the reason for a macro the installer does not know.
bool expand_directory(const std::string &directory, std::string &path, std::string &error);

// Whether the installer leaves a file that is already there as it is.
bool keeps_existing(std::uint32_t flags, std::int64_t existing_date, std::int64_t cabinet_date);

}  // namespace installer

#endif
