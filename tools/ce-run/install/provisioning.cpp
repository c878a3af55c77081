#include "provisioning.h"

#include <algorithm>

#include "text.h"

namespace installer {

namespace {

// The rights a setting needs.
enum class Needs { manager, user_auth, user_auth_or_one_tier };

// The CertificateStore provider's stores by the names its documents give
// them, and the rights each needs to be changed, by the reading: the
// execution stores are the Manager's; the SPC store's own permissions are
// unsourced (the provider's as a whole are the Manager's); who may change
// ROOT and CA the sources disagree on (docs/sources.md). ROOT and CA are
// no code-signing stores: what they hold is recorded only.
struct StoreRule {
    const char *name;
    security::Store store;
    Needs strict, lenient;
    const char *question;  // where the two differ
};
constexpr StoreRule store_rules[] = {
    {"Privileged Execution Trust Authorities", security::Store::privileged, Needs::manager,
     Needs::manager, ""},
    {"Unprivileged Execution Trust Authorities", security::Store::unprivileged, Needs::manager,
     Needs::manager, ""},
    {"SPC", security::Store::spc, Needs::manager, Needs::user_auth,
     "no source gives the SPC store's own permissions (the CertificateStore provider's are the "
     "Manager's)"},
    {"ROOT", security::Store::root, Needs::manager, Needs::user_auth_or_one_tier,
     "sources disagree on who may change the ROOT and CA stores: the Manager alone, or also an "
     "authenticated user or any CAB accepted on a one-tier device"},
    {"CA", security::Store::ca, Needs::manager, Needs::user_auth_or_one_tier,
     "sources disagree on who may change the ROOT and CA stores: the Manager alone, or also an "
     "authenticated user or any CAB accepted on a one-tier device"},
};

const char *needs_text(Needs needs)
{
    switch (needs) {
    case Needs::manager: return "the Manager role's rights";
    case Needs::user_auth: return "USER_AUTH's rights";
    case Needs::user_auth_or_one_tier: return "USER_AUTH's rights";
    }
    return "";
}

bool allowed(Needs needs, const security::Rights &rights)
{
    switch (needs) {
    case Needs::manager: return rights.manager;
    case Needs::user_auth: return rights.user_auth;
    case Needs::user_auth_or_one_tier: return rights.user_auth || rights.unsigned_on_one_tier;
    }
    return false;
}

// The CAB's rights by the reading: a role no source gives is none on
// the strict reading and every right on the lenient one.
security::Rights by_reading(security::Rights rights, Reading reading)
{
    if (rights.known)
        return rights;
    rights.manager = rights.user_auth = reading == Reading::lenient;
    return rights;
}

const char *unknown_role_question =
    "no source says what role an SPC root added without a Role parm carries";

struct Work {
    Reading reading;
    const security::Rights &rights;
    security::Model model;
    Provisioned outcome;
};

bool refuse(Work &work, const std::string &why, const std::string &question = "")
{
    work.outcome.refusal = {why + "; the whole document is rolled back", question};
    return false;
}

bool not_modelled(Work &work, const std::string &why)
{
    work.outcome.refusal = {why, ""};
    work.outcome.not_modelled = true;
    return false;
}

// Whether the CAB's rights allow a change that needs strict (lenient on
// the lenient reading); refused with the question where the readings
// differ, or where the CAB's role is unsourced.
bool permitted(Work &work, const std::string &what, Needs strict, Needs lenient,
               const std::string &question)
{
    Needs needs = work.reading == Reading::strict ? strict : lenient;
    security::Rights rights = by_reading(work.rights, work.reading);
    if (allowed(needs, rights))
        return true;
    std::string open = !work.rights.known ? unknown_role_question
                       : strict != lenient ? question : "";
    return refuse(work, what + ", which needs " + needs_text(needs) + ", and the CAB installs with " +
                            security::rights_text(work.rights), open);
}

const StoreRule *find_store(const std::string &name)
{
    for (const StoreRule &rule : store_rules) {
        if (name == rule.name)
            return &rule;
    }
    return nullptr;
}

bool add_certificate(Work &work, const setup::Provision &setting, const StoreRule &rule)
{
    std::string what = "its _setup.xml adds the certificate " + setting.name + " to the " +
                       setting.store + " store";
    if (!setting.has_encoded)
        return refuse(work, what + " with no EncodedCertificate (a Role alone cannot be added)");
    std::string der, sha1, error;
    if (!security::decode_certificate(setting.encoded, der, sha1, error))
        return refuse(work, what + ": " + error);
    // Microsoft's examples write the hash in upper and in lower case.
    if (lower_ascii(setting.name) != sha1 &&
        (work.reading == Reading::strict || setting.name.size() != 40))
        return refuse(work, what + ", whose SHA-1 is " + sha1,
                      setting.name.size() == 40
                          ? "no source says what the CertificateStore provider does with a "
                            "certificate whose characteristic is not its SHA-1"
                          : "");
    if (!permitted(work, what, rule.strict, rule.lenient, rule.question))
        return false;
    std::vector<std::string> &roots = work.model.roots.der[int(rule.store)];
    if (std::find(roots.begin(), roots.end(), der) == roots.end())
        roots.push_back(der);
    if (roots.size() > security::max_roots)
        return not_modelled(work, what + ", and the store would hold more than " +
                                      std::to_string(security::max_roots) +
                                      " certificates, ce-run's limit");
    std::string role;
    if (rule.store == security::Store::spc && setting.role_given) {
        work.model.roots.spc_roles[der] = setting.role;
        role = ", role " + security::role_text(setting.role);
    } else if (rule.store == security::Store::spc) {
        work.model.roots.spc_roles.erase(der);
        role = ", no role";
    }
    work.outcome.lines.push_back("add certificate " + sha1 + " to the " + setting.store + " store" + role);
    return true;
}

bool delete_certificate(Work &work, const setup::Provision &setting, const StoreRule &rule)
{
    std::string what = "its _setup.xml deletes the certificate " + setting.name + " from the " +
                       setting.store + " store";
    if (!permitted(work, what, rule.strict, rule.lenient, rule.question))
        return false;
    std::vector<std::string> &roots = work.model.roots.der[int(rule.store)];
    for (auto root = roots.begin(); root != roots.end(); ++root) {
        if (lower_ascii(setting.name) == security::sha1_hex(*root)) {
            work.model.roots.spc_roles.erase(*root);
            roots.erase(root);
            work.outcome.lines.push_back("delete certificate " + lower_ascii(setting.name) + " from the " +
                                 setting.store + " store");
            return true;
        }
    }
    if (work.reading == Reading::lenient)
        return true;
    return refuse(work, what + ", which holds no such certificate",
                  "no source says what the CertificateStore provider does when told to delete a "
                  "certificate its store does not hold");
}

bool set_policy(Work &work, const setup::Provision &setting)
{
    std::string what = "its _setup.xml sets the security policy " + std::to_string(setting.policy) +
                       " to " + std::to_string(setting.policy_value);
    if (!permitted(work, what, Needs::manager, Needs::manager, ""))
        return false;
    work.model.policies[setting.policy] = setting.policy_value;
    work.outcome.lines.push_back("set policy " + std::to_string(setting.policy) + " = " +
                         std::to_string(setting.policy_value) +
                         (security::modelled(setting.policy)
                              ? "" : " (a policy whose effect ce-run does not model)"));
    return true;
}

bool apply(Work &work, const setup::Provision &setting)
{
    if (setting.kind == setup::Provision::set_policy)
        return set_policy(work, setting);
    const StoreRule *rule = find_store(setting.store);
    if (rule == nullptr)
        return not_modelled(work, "its _setup.xml changes the certificate store '" + setting.store +
                                      "', which ce-run does not model");
    return setting.kind == setup::Provision::add_certificate ? add_certificate(work, setting, *rule)
                                                             : delete_certificate(work, setting, *rule);
}

}  // namespace

Provisioned provision(Reading reading, const std::vector<setup::Provision> &settings,
                      const security::Rights &rights, security::Model &model)
{
    Work work{reading, rights, model, {}};
    for (const setup::Provision &setting : settings) {
        if (!apply(work, setting))
            return work.outcome;
    }
    model = work.model;
    return work.outcome;
}

}  // namespace installer
