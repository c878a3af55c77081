// Windows Mobile 5 and 6's standard security configurations as presets of
// the device's policies, and what the policies decide for a CAB and for a
// program by its signature and the user's answer to a prompt, and the
// role a CAB installs with (docs/sources.md).

#ifndef CE_RUN_CONFIGURATIONS_H
#define CE_RUN_CONFIGURATIONS_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "signature.h"

namespace security {

enum class Configuration {
    off, one_tier_prompt, two_tier_prompt, third_party_one_tier, third_party_two_tier, locked,
    configuration_count
};

// As --security names them: "off", "one-tier-prompt", ...
bool parse(std::string_view text, Configuration &configuration);
std::string configuration_names();  // "off, one-tier-prompt, ..., locked"
const char *name(Configuration configuration);

// What the user answers to a prompt; nobody answering counts as no.
enum class Answer { nobody, yes, no, answer_count };

// The policies ce-run models, by their ids (docs/sources.md): what
// unsigned CABs install with (0: refused), whether unsigned programs run,
// the roles given Manager's and USER_AUTH's rights, the prompt (0: ask),
// one tier or two.
enum Policy : std::uint32_t {
    unsigned_cabs = 4101,
    unsigned_programs = 4102,
    grant_manager = 4119,
    grant_user_auth = 4120,
    unsigned_prompt = 4122,
    privileged_programs = 4123,
};
constexpr Policy modelled_policies[] = {unsigned_cabs,  unsigned_programs, grant_manager,
                                        grant_user_auth, unsigned_prompt,   privileged_programs};
using Policies = std::map<std::uint32_t, std::uint32_t>;  // by policy id; others are kept, not used
bool modelled(std::uint32_t policy);  // one of modelled_policies

// Security roles (masks of these bits) that ce-run's rules name.
constexpr std::uint32_t role_manager = 8, role_user_auth = 16, role_enterprise = 32;
std::string role_text(std::uint32_t mask);  // "16 (USER_AUTH)", "222 (OEM | OPERATOR | ...)"

// A device's security model: its configuration's preset policies as
// changed since, its stores' roots, and who answers its prompts.
struct Model {
    Configuration configuration = Configuration::off;
    Policies policies;
    std::uint32_t grant_manager_default = 0;  // the platform's policy 4119, which the preset holds
    Roots roots;
    Answer answer = Answer::nobody;
    std::int64_t date = no_date;  // the device's date (--device-date), seconds since 1970
};

// The configuration's policies on a platform whose policy 4119 is
// grant_manager by default.
Policies preset(Configuration configuration, std::uint32_t grant_manager_default);

// "one-tier-prompt", or with its policies changed, "one-tier-prompt,
// policies now 4101 = 0, 4122 = 1".
std::string describe(const Model &model);

// What a role may do: its rights, with what policies 4119 and 4120 add;
// known is false for a role no source gives (an SPC root added without one).
struct Rights {
    bool known = true;
    std::uint32_t mask = 0;
    bool manager = false, user_auth = false;
    bool unsigned_on_one_tier = false;  // an accepted unsigned CAB on a one-tier device
};
Rights rights(const Model &model, std::uint32_t mask);
std::string rights_text(const Rights &rights);  // "role 16 (USER_AUTH), Manager's rights by policy 4119"

struct Decision {
    bool allowed = false;
    bool prompt_accepted = false;  // the user was asked and answered yes
    bool privileged = false;       // a program that runs: privileged, else normal
    std::string trace;             // the decision, one line
    std::string refusal;           // why not, when not allowed
    Rights rights;                 // a CAB that installs: what its role may do
};

// A CAB, by its signature's verdict against the SPC store; one that
// installs, with the role it installs with.
Decision decide_cab(const Model &model, const Verdict &verdict);

// A program, by its verdict against the privileged and unprivileged
// stores; covered: the accepted prompt of the unsigned CAB that
// installed it covers it.
Decision decide_program(const Model &model, const Verdict &verdict, bool covered);

}  // namespace security

#endif
