// The platforms --platform names, and each one's installer rules, as the
// collected sources give them (docs/sources.md): which setup file its
// installer reads, which CE version it checks, its checks of the cabinet
// and the setup file, its directory macros, the paths it takes, and what
// it does with a file that is already there. Where no source settles a
// rule, each Reading gives its answer (installer.h says what ce-run makes
// of the two). The steps of an install are installer.h.
//
// The install room (cabinet, setup_file, legacy_setup, xml_setup,
// installer_rules, device_contents, installer) reads a CAB and installs
// it into the emulated device; it uses common/, image/ (the releases) and
// run/cpu.h (a platform's processor).

#ifndef CE_RUN_INSTALLER_RULES_H
#define CE_RUN_INSTALLER_RULES_H

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "cpu.h"
#include "loader_rules.h"
#include "setup_file.h"
#include "version.h"

namespace installer {

// Where no source settles what an installer does, ce-run reads the rule
// strictly (so that a CAB is refused sooner), and where a CAB fails that,
// leniently too: refused both ways, the device refuses it; refused only
// strictly, ce-run cannot tell, and names the open question.
enum class Reading { strict, lenient };

// Whether a platform's installer does something: a source says it does,
// or that it does not, or no source settles it.
enum class Sourced { no, yes, unsourced };

// Why an installer refuses what it is given; nothing when why is empty.
// A refusal that rests on the strict reading of a rule no source settles
// names that rule's open question ("no source says whether ...").
struct Refusal {
    std::string why;
    std::string question;
    bool refuses() const { return !why.empty(); }
};

// Which setup file the installer reads: one format only, the XML when the
// CAB has one, or both, each of which must pass.
enum class Reads { legacy, xml, xml_when_present, both };

// Whose table of directory macros the platform has.
enum class Macros { pocketpc2000, pocketpc, unsourced };

struct Platform {
    const char *option;           // as --platform names it
    const char *name;             // "Pocket PC 2003"
    Version version;              // the CE version its installer checks
    loader::Release release;      // whose loader rules apply
    Reads reads;                  // as a source says, or the strict reading
    Reads lenient_reads;          // the lenient reading where no source says; else reads
    cpu::Model cpu;               // a typical device's processor
    bool checks_highest;          // Windows Mobile's does not
    Sourced checks_cabinet;       // the header's length against the file's, and no compression
    Sourced takes_2577;           // a setup file for processor 2577 (StrongARM): "ARM"
    Sourced palm_pc;              // its platform name is "Palm PC", the Pocket PCs' (unsupported lists)
    Macros macros;
    const char *volume;           // the default storage volume before every macro's path, or ""
    bool has_security_model;      // Windows Mobile 5 and 6's configurations (--security)
    std::uint32_t grant_manager;  // there: policy 4119's default, the roles given Manager's rights
};

// Each platform's installer, from the collected sources (docs/sources.md):
// which setup file it reads (CE 5.0 is documented to read the XML, and
// reading the .000 is unsourced there, as it is on CE 6.0 to Compact
// 2013), which CE version it checks (the platform's own), whether it
// checks the highest version (Windows Mobile's does not), the cabinet
// checks (Pocket PC 2003's are sourced; the other platforms that read
// only the .000, as it does, may make them), processor 2577 (at risk on a
// Compact 7 kernel built for ARMv5 to ARMv7), the platform name "Palm PC"
// (the Pocket PCs'), the macro table (sourced for Pocket PC 2000, for
// Windows Mobile's Pocket PC and for CE 6.0), Smartphone 2003's
// storage volume, and policy 4119's default (Windows Mobile 5's Pocket
// PC: USER_AUTH; 6.1's Professional: OPERATOR_TPS and ENTERPRISE, taken
// for 6.0, whose own is unsourced).
inline constexpr Platform platforms[] = {
    {"pocketpc2000", "Pocket PC 2000", {3, 0}, loader::ce_3_0, Reads::legacy, Reads::legacy,
     cpu::sa1110, true, Sourced::unsourced, Sourced::yes, Sourced::yes, Macros::pocketpc2000, "",
     false, 0},
    {"pocketpc2002", "Pocket PC 2002", {3, 0}, loader::ce_3_0, Reads::legacy, Reads::legacy,
     cpu::sa1110, true, Sourced::unsourced, Sourced::yes, Sourced::yes, Macros::pocketpc2000, "",
     false, 0},
    {"smartphone2002", "Smartphone 2002", {3, 0}, loader::ce_3_0, Reads::xml, Reads::xml,
     cpu::sa1110, true, Sourced::no, Sourced::yes, Sourced::unsourced, Macros::unsourced, "",
     false, 0},
    {"pocketpc2003", "Pocket PC 2003", {4, 20}, loader::ce_4_2, Reads::legacy, Reads::legacy,
     cpu::pxa270, true, Sourced::yes, Sourced::yes, Sourced::yes, Macros::pocketpc, "", false, 0},
    {"smartphone2003", "Smartphone 2003", {4, 21}, loader::ce_4_2, Reads::xml, Reads::xml,
     cpu::pxa270, true, Sourced::no, Sourced::yes, Sourced::unsourced, Macros::unsourced,
     "\\Storage", false, 0},
    {"windowsmobile5", "Windows Mobile 5", {5, 1}, loader::ce_5_0, Reads::xml_when_present,
     Reads::xml_when_present, cpu::pxa270, false, Sourced::no, Sourced::yes, Sourced::yes,
     Macros::pocketpc, "", true, 16},
    {"windowsmobile6", "Windows Mobile 6", {5, 2}, loader::ce_5_0, Reads::xml_when_present,
     Reads::xml_when_present, cpu::pxa270, false, Sourced::no, Sourced::yes, Sourced::yes,
     Macros::pocketpc, "", true, 160},
    {"ce4.2", "Windows CE 4.2", {4, 20}, loader::ce_4_2, Reads::legacy, Reads::legacy,
     cpu::sa1110, true, Sourced::unsourced, Sourced::yes, Sourced::unsourced, Macros::unsourced,
     "", false, 0},
    {"ce5.0", "Windows CE 5.0", {5, 0}, loader::ce_5_0, Reads::both, Reads::xml_when_present,
     cpu::pxa270, true, Sourced::unsourced, Sourced::yes, Sourced::unsourced, Macros::unsourced,
     "", false, 0},
    {"ce6.0", "Windows Embedded CE 6.0", {6, 0}, loader::ce_6_0, Reads::xml,
     Reads::xml_when_present, cpu::pxa270, true, Sourced::no, Sourced::yes, Sourced::unsourced,
     Macros::pocketpc, "", false, 0},
    {"compact7", "Windows Embedded Compact 7", {7, 0}, loader::ce_7_0, Reads::xml,
     Reads::xml_when_present, cpu::cortex_a8, true, Sourced::no, Sourced::unsourced,
     Sourced::unsourced, Macros::unsourced, "", false, 0},
    {"compact2013", "Windows Embedded Compact 2013", {8, 0}, loader::ce_8_0, Reads::xml,
     Reads::xml_when_present, cpu::cortex_a8, true, Sourced::no, Sourced::yes,
     Sourced::unsourced, Macros::unsourced, "", false, 0},
};
constexpr std::size_t platform_count = std::size(platforms);

// Every row names its platform: a row left half written fails to compile.
constexpr bool every_platform_named()
{
    for (const Platform &platform : platforms) {
        if (platform.option == nullptr || platform.name == nullptr || platform.volume == nullptr)
            return false;
    }
    return true;
}
static_assert(every_platform_named());


const Platform *find_platform(std::string_view option);
std::string platform_options();  // "pocketpc2000, ..., compact2013"
// ".000", "_setup.xml, else .000", ...: the strict reading's, where no
// source settles it.
std::string setup_files_read(const Platform &platform);

// The setup files the installer reads, by the reading; and the open
// question where the two readings differ.
Reads setup_files(const Platform &platform, Reading reading);
std::string setup_files_question(const Platform &platform);

// Why the platform's installer refuses the cabinet itself.
Refusal cabinet_refusal(const Platform &platform, Reading reading, std::uint64_t header_length,
                        std::uint64_t file_size, bool compressed);

// Why it refuses what the setup file says: processor, versions, builds,
// unsupported platforms.
Refusal setup_refusal(const Platform &platform, Reading reading, const setup::Description &setup);

// The directories a device of the platform has before any install: those
// its macros name.
std::vector<std::string> standard_directories(const Platform &platform);

// A path as the setup file writes it with its macros expanded: %CEn% and
// %InstallDir% (install_dir, itself expanded) as the first component,
// anywhere in text with anywhere set. False with the refusal for a macro
// the platform does not define, by the reading.
bool expand(const Platform &platform, Reading reading, const std::string &path,
            const std::string &install_dir, bool anywhere, std::string &out, Refusal &refusal);

// Why path is not a path the installer writes to: not full ("\" and
// names), a "." or ".." component, a character no file name takes, or
// longer than MAX_PATH allows; "" when it is one.
std::string path_problem(const std::string &path);

// What the installer does with a file it extracts, by the CopyFiles flags
// and the file that is there, if any: without an overwrite flag, what it
// does no source says (ask).
enum class Placement { write, keep, skip, ask };
Placement place(std::uint32_t flags, bool exists, std::int64_t existing_date,
                std::int64_t cabinet_date);

}  // namespace installer

#endif
