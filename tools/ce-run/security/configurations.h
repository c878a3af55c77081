// Windows Mobile 5 and 6's standard security configurations, and what
// each decides for a CAB and for a program by its signature, the policies
// (4101 unsigned CABs, 4102 unsigned programs, 4122 the prompt, 4123 one
// tier or two) and the user's answer to a prompt (docs/sources.md).

#ifndef CE_RUN_CONFIGURATIONS_H
#define CE_RUN_CONFIGURATIONS_H

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

// A device's security model: its configuration, its stores' roots, and
// who answers its prompts.
struct Model {
    Configuration configuration = Configuration::off;
    Roots roots;
    Answer answer = Answer::nobody;
    std::int64_t date = no_date;  // the device's date (--device-date), seconds since 1970
};

struct Decision {
    bool allowed = false;
    bool prompt_accepted = false;  // the user was asked and answered yes
    bool privileged = false;       // a program that runs: privileged, else normal
    std::string trace;             // the decision, one line
    std::string refusal;           // why not, when not allowed
};

// A CAB, by its signature's verdict against the SPC store.
Decision decide_cab(const Model &model, const Verdict &verdict);

// A program, by its verdict against the privileged and unprivileged
// stores; covered: the accepted prompt of the unsigned CAB that
// installed it covers it.
Decision decide_program(const Model &model, const Verdict &verdict, bool covered);

}  // namespace security

#endif
