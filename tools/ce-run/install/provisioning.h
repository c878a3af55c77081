// What Configuration Manager does with a setup file's provisioning
// settings on a Windows Mobile 5 or 6 device: the CertificateStore
// provider's certificates and the SecurityPolicy provider's policies, each
// allowed only to the roles the sources give, the whole document refused
// when one part is (docs/sources.md).

#ifndef CE_RUN_PROVISIONING_H
#define CE_RUN_PROVISIONING_H

#include <string>
#include <vector>

#include "configurations.h"
#include "installer_rules.h"
#include "setup_file.h"

namespace installer {

// What provisioning came to: nothing wrong (why empty), refused (as a
// Refusal: a question where only the strict reading refuses), or not
// modelled; and a line for the trace for each change made.
struct Provisioned {
    Refusal refusal;
    bool not_modelled = false;
    std::vector<std::string> lines;
};

// Applies settings to model, each as the CAB's rights allow by the
// reading; where one is refused or not modelled, model is left as it was
// and the first such part is named.
Provisioned provision(Reading reading, const std::vector<setup::Provision> &settings,
                      const security::Rights &rights, security::Model &model);

}  // namespace installer

#endif
