#include "configurations.h"

#include "table.h"
#include "text.h"

namespace security {

namespace {

// Each configuration's policies, as Visual Studio's Device Security
// Manager provisions them and the SDK's SecurityViewer names them
// (docs/sources.md): 4101 (16, the Pocket PC default role, where unsigned
// CABs install), 4102, 4122, 4123. Policy 4119 is the platform's default
// and 4120 USER_AUTH in each. Locked has third-party-two-tier's policies;
// what sets it apart is its unprivileged store, which is unsourced: read
// as refused.
struct Preset {
    Configuration configuration;
    const char *name;
    std::uint32_t unsigned_cabs, unsigned_programs, unsigned_prompt, privileged_programs;
    bool unprivileged_store;  // a program chained to the unprivileged store runs
};

using C = Configuration;
constexpr Preset presets[] = {
    {C::off, "off", role_user_auth, 1, 1, 1, true},
    {C::one_tier_prompt, "one-tier-prompt", role_user_auth, 1, 0, 1, true},
    {C::two_tier_prompt, "two-tier-prompt", role_user_auth, 1, 0, 0, true},
    {C::third_party_one_tier, "third-party-one-tier", 0, 0, 1, 1, true},
    {C::third_party_two_tier, "third-party-two-tier", 0, 0, 1, 0, true},
    {C::locked, "locked", 0, 0, 1, 0, false},
};
static_assert(in_order(presets, std::size_t(C::configuration_count), &Preset::configuration));

// The roles by their bits, as the Security Roles tables name them.
struct RoleName {
    std::uint32_t bit;
    const char *name;
};
constexpr RoleName role_names[] = {
    {2, "OEM"},          {4, "OPERATOR"},      {8, "MANAGER"},         {16, "USER_AUTH"},
    {32, "ENTERPRISE"},  {64, "USER_UNAUTH"},  {128, "OPERATOR_TPS"},  {256, "KNOWN_PPG"},
    {512, "TRUSTED_PPG"}, {1024, "PPG_AUTH"},  {2048, "PPG_TRUSTED"},  {4096, "ANY_PUSH_SOURCE"},
};

// What the model's policies decide, as the table's rows did.
struct Rules {
    bool unsigned_cabs;      // 4101 not 0: unsigned CABs install, with or without a prompt
    bool asks;               // 4122 = 0: the user is asked about what is unsigned
    bool unsigned_programs;  // 4102 not 0
    bool one_tier;           // 4123 not 0: every program that runs runs privileged
    bool unprivileged_store;
};

std::uint32_t policy(const Model &model, Policy id)
{
    auto found = model.policies.find(id);
    return found != model.policies.end() ? found->second : 0;
}

struct AnswerText {
    Answer answer;
    const char *text;
};
constexpr AnswerText answers[] = {
    {Answer::nobody, "nobody answers, which counts as no"},
    {Answer::yes, "the user answers yes"},
    {Answer::no, "the user answers no"},
};
static_assert(in_order(answers, std::size_t(Answer::answer_count), &AnswerText::answer));

Rules of(const Model &model)
{
    return {policy(model, unsigned_cabs) != 0,
            policy(model, unsigned_prompt) == 0, policy(model, unsigned_programs) != 0,
            policy(model, privileged_programs) != 0,
            presets[int(model.configuration)].unprivileged_store};
}

// " (one-tier-prompt)", with the policies changed since.
std::string configuration_of(const Model &model)
{
    return " (" + describe(model) + ")";
}

std::string signed_by(const Verdict &verdict)
{
    return "signed by \"" + verdict.signer + "\"" +
           (verdict.timestamp.empty() ? "" : ", timestamped " + verdict.timestamp) +
           ", chained to the " + name(verdict.store) + " store";
}

// What happens to what counts as unsigned where the configuration asks:
// the answer decides.
void ask(const Model &model, const std::string &what, Decision &decision)
{
    const char *answer = answers[int(model.answer)].text;
    decision.allowed = decision.prompt_accepted = model.answer == Answer::yes;
    decision.trace += "; policy 4122 = 0 asks, and " + std::string(answer);
    if (!decision.allowed)
        decision.refusal += ", and " + std::string(answer) +
                            " to the prompt for " + what + " (policy 4122 = 0)";
}

}  // namespace

bool parse(std::string_view text, Configuration &configuration)
{
    int at = position(presets, text, [](const Preset &preset) { return preset.name; });
    configuration = at < 0 ? configuration : Configuration(at);
    return at >= 0;
}

std::string configuration_names()
{
    return listed(presets, [](const Preset &preset) { return preset.name; });
}

const char *name(Configuration configuration)
{
    return presets[int(configuration)].name;
}

bool modelled(std::uint32_t policy)
{
    for (Policy id : modelled_policies) {
        if (id == policy)
            return true;
    }
    return false;
}

Policies preset(Configuration configuration, std::uint32_t grant_manager_default)
{
    const Preset &row = presets[int(configuration)];
    return {{unsigned_cabs, row.unsigned_cabs},     {unsigned_programs, row.unsigned_programs},
            {grant_manager, grant_manager_default}, {grant_user_auth, role_user_auth},
            {unsigned_prompt, row.unsigned_prompt}, {privileged_programs, row.privileged_programs}};
}

std::string describe(const Model &model)
{
    Policies original = preset(model.configuration, model.grant_manager_default);
    std::string changed;
    for (const auto &[id, value] : model.policies) {
        auto found = original.find(id);
        if (found == original.end() || found->second != value)
            changed += (changed.empty() ? "" : ", ") + std::to_string(id) + " = " + std::to_string(value);
    }
    return name(model.configuration) + (changed.empty() ? "" : ", policies now " + changed);
}

std::string role_text(std::uint32_t mask)
{
    std::string names;
    for (const RoleName &role : role_names) {
        if ((mask & role.bit) != 0)
            names += (names.empty() ? "" : " | ") + std::string(role.name);
    }
    std::uint32_t known = 0;
    for (const RoleName &role : role_names)
        known |= role.bit;
    if ((mask & ~known) != 0)
        names += (names.empty() ? "" : " | ") + std::string("other bits");
    return std::to_string(mask) + " (" + (names.empty() ? "no role" : names) + ")";
}

Rights rights(const Model &model, std::uint32_t mask)
{
    Rights out;
    out.mask = mask;
    out.manager = (mask & role_manager) != 0 || (mask & policy(model, grant_manager)) != 0;
    out.user_auth = out.manager || (mask & role_user_auth) != 0 ||
                    (mask & policy(model, grant_user_auth)) != 0;
    return out;
}

std::string rights_text(const Rights &rights)
{
    if (!rights.known)
        return "no role given to its SPC root";
    std::string text = "role " + role_text(rights.mask);
    if (rights.manager && (rights.mask & role_manager) == 0)
        text += ", Manager's rights by policy 4119";
    else if (rights.user_auth && !rights.manager && (rights.mask & role_user_auth) == 0)
        text += ", USER_AUTH's rights by policy 4120";
    return text;
}

Decision decide_cab(const Model &model, const Verdict &verdict)
{
    const Rules rule = of(model);
    Decision decision;
    std::string configuration = configuration_of(model);
    if (verdict.trusted) {
        auto role = model.roots.spc_roles.find(verdict.root);
        decision.allowed = true;
        decision.rights = role != model.roots.spc_roles.end() ? rights(model, role->second) : Rights{};
        decision.rights.known = role != model.roots.spc_roles.end();
        decision.trace = "the CAB: " + signed_by(verdict) + ": it installs with " +
                         rights_text(decision.rights) + configuration;
        return decision;
    }
    decision.trace = "the CAB: unsigned, as " + verdict.why_not;
    decision.refusal = verdict.why_not;
    if (!rule.unsigned_cabs) {
        decision.refusal += ", and this configuration" + configuration +
                            " refuses unsigned CABs (policy 4101 = 0)";
        decision.trace += "; policy 4101 = 0 refuses it" + configuration;
        return decision;
    }
    if (rule.asks)
        ask(model, "the unsigned CAB", decision);
    else
        decision.allowed = true, decision.trace += "; policy 4122 = 1 asks nothing";
    decision.rights = rights(model, policy(model, unsigned_cabs));
    decision.rights.unsigned_on_one_tier = rule.one_tier;
    decision.trace += decision.allowed
                          ? ": it installs with policy 4101's " + rights_text(decision.rights) + configuration
                          : configuration;
    return decision;
}

Decision decide_program(const Model &model, const Verdict &verdict, bool covered)
{
    const Rules rule = of(model);
    Decision decision;
    std::string configuration = configuration_of(model);
    if (verdict.trusted && (verdict.store == Store::privileged || rule.unprivileged_store)) {
        decision.allowed = true;
        decision.privileged = verdict.store == Store::privileged || rule.one_tier;
        decision.trace = signed_by(verdict);
    } else if (verdict.trusted) {
        decision.trace = signed_by(verdict) + "; this configuration runs only what chains to the "
                         "privileged store (for the unprivileged store no source says)";
        decision.refusal = "it is " + signed_by(verdict) + ", and this configuration" + configuration +
                           " runs only what chains to the privileged store";
    } else {
        decision.trace = "unsigned, as " + verdict.why_not;
        decision.refusal = verdict.why_not;
        if (covered && rule.unsigned_programs) {
            decision.allowed = true;
            decision.trace += "; the prompt its CAB's user accepted covers it";
        } else if (!rule.unsigned_programs) {
            decision.refusal += ", and this configuration" + configuration +
                                " refuses unsigned programs (policy 4102 = 0)";
            decision.trace += "; policy 4102 = 0 refuses it";
        } else if (rule.asks) {
            ask(model, "the unsigned program", decision);
        } else {
            decision.allowed = true;
            decision.trace += "; policy 4122 = 1 asks nothing";
        }
        decision.privileged = decision.allowed && rule.one_tier;
    }
    if (decision.allowed)
        decision.trace += std::string(": it runs ") + (decision.privileged ? "privileged" : "normal");
    decision.trace += configuration;
    return decision;
}

}  // namespace security
