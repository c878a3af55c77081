#include "configurations.h"

#include "table.h"
#include "text.h"

namespace security {

namespace {

// Each configuration's policies, as Visual Studio's Device Security
// Manager provisions them (docs/sources.md). A Locked device's
// unprivileged store is unsourced: read as refused.
struct Rules {
    Configuration configuration;
    const char *name;
    bool unsigned_cabs;      // 4101 not 0: unsigned CABs install, with or without a prompt
    bool asks;               // 4122 = 0: the user is asked about what is unsigned
    bool unsigned_programs;  // 4102 = 1
    bool one_tier;           // 4123 = 1: every program that runs runs privileged
    bool unprivileged_store; // a program chained to the unprivileged store runs
};

using C = Configuration;
constexpr Rules rules[] = {
    {C::off, "off", true, false, true, true, true},
    {C::one_tier_prompt, "one-tier-prompt", true, true, true, true, true},
    {C::two_tier_prompt, "two-tier-prompt", true, true, true, false, true},
    {C::third_party_one_tier, "third-party-one-tier", false, false, false, true, true},
    {C::third_party_two_tier, "third-party-two-tier", false, false, false, false, true},
    {C::locked, "locked", false, false, false, false, false},
};
static_assert(in_order(rules, std::size_t(C::configuration_count), &Rules::configuration));

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

const Rules &of(const Model &model)
{
    return rules[int(model.configuration)];
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
    int at = position(rules, text, [](const Rules &rule) { return rule.name; });
    configuration = at < 0 ? configuration : Configuration(at);
    return at >= 0;
}

std::string configuration_names()
{
    return listed(rules, [](const Rules &rule) { return rule.name; });
}

const char *name(Configuration configuration)
{
    return rules[int(configuration)].name;
}

Decision decide_cab(const Model &model, const Verdict &verdict)
{
    const Rules &rule = of(model);
    Decision decision;
    std::string configuration = " (" + std::string(rule.name) + ")";
    if (verdict.trusted) {
        decision.allowed = true;
        decision.trace = "the CAB: " + signed_by(verdict) + ": it installs" + configuration;
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
    decision.trace += decision.allowed ? ": it installs" + configuration : configuration;
    return decision;
}

Decision decide_program(const Model &model, const Verdict &verdict, bool covered)
{
    const Rules &rule = of(model);
    Decision decision;
    std::string configuration = " (" + std::string(rule.name) + ")";
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
