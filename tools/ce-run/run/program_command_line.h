// The command line a CE program receives: ce-run's trailing arguments
// joined and quoted as the Windows C runtime parses them back, in UTF-16.

#ifndef CE_RUN_PROGRAM_COMMAND_LINE_H
#define CE_RUN_PROGRAM_COMMAND_LINE_H

#include <string>
#include <vector>

namespace program_command_line {

// Invalid UTF-8 becomes U+FFFD, one per bad byte.
std::u16string build(const std::vector<std::string> &arguments);

}  // namespace program_command_line

#endif
