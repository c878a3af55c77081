// --check: each CAB installed (install only) on each device, each cell
// exactly the single run with that device's options: the same code path,
// run in a child process of its own, two or more at once; then one report
// of every cell (report.h).

#ifndef CE_RUN_CHECK_H
#define CE_RUN_CHECK_H

#include <string>
#include <vector>

#include "fleet.h"

namespace check {

// One CAB on one device, as the single run ended.
struct Cell {
    const Device *device = nullptr;
    std::string cab;
    int status = 0;
    enum Answer { installs, refused, cannot_tell, error, answer_count } answer = installs;
    std::string text;                // refused: the reason; cannot tell: the question; error: the message
    bool ran = false;                // with --run: the program ran, and exited so
    int program_status = 0;
    std::vector<std::string> trace;  // the install's lines of the trace (install:, security:)
};

// The single run, given a device's options with the CABs to install; its
// exit status.
using SingleRun = int (*)(const Options &options);

// Runs the check the options ask for and prints its report; the exit
// status: 0 when every CAB installs on every device, else 65 when some
// device refuses and none is in doubt, else 75; an error of ce-run's own
// (a CAB it cannot read, say) first.
int run(const Options &options, SingleRun single_run);

}  // namespace check

#endif
