// --check's report of its cells on standard output: text (a line each and
// a summary), JSON (nlohmann's json) or JUnit XML (libxml2's writer).

#ifndef CE_RUN_REPORT_H
#define CE_RUN_REPORT_H

#include <vector>

#include "check.h"

namespace check {

// Prints the report in options.format; returns the check's exit status.
int report(const Options &options, std::size_t devices, const std::vector<Cell> &cells);

}  // namespace check

#endif
