// SPDX-License-Identifier: Apache-2.0
// State that the plug-in's source files share, and its caller layer.
// Nothing declared here is exported from the library.
#ifndef TMMPIO_PLUGIN_INTERNAL_H
#define TMMPIO_PLUGIN_INTERNAL_H

#include <atomic>
#include <string>

#include "plugin/caller.h"

namespace tmmpio {

// The command table, built when the library is loaded. Each command is
// mpiocmd followed by its sub-command; callers append names or filters.
TMMPIO_INTERNAL extern const std::string mpiocmd;         // "powermt"
TMMPIO_INTERNAL extern const std::string mpioremove_cmd;  // "powermt remove force dev="
TMMPIO_INTERNAL extern const std::string mpiodisplay_cmd; // "powermt display dev="
TMMPIO_INTERNAL extern const std::string mpiorelease_cmd; // "powermt release"
TMMPIO_INTERNAL extern const std::string mpiosave_cmd;    // "powermt save"
TMMPIO_INTERNAL extern const std::string mpiorefresh_cmd; // "powermt config"
TMMPIO_INTERNAL extern const std::string mpio_prefix;     // "/dev/"

// The shell command line that runs powermtCommand with its standard output
// through filter (a pipeline ending in an awk program) and exits with
// powermt's status when that is not 0, else with the filter's. The filtered
// output and everyone's standard error go where the line's own go.
TMMPIO_INTERNAL std::string filteredPowermt(const std::string& powermtCommand, const std::string& filter);

// Major device number of the PowerPath device class; 0 until init finds it.
TMMPIO_INTERNAL extern std::atomic<int> admin_major;

} // namespace tmmpio

#endif // TMMPIO_PLUGIN_INTERNAL_H
