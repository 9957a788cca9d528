// SPDX-License-Identifier: Apache-2.0
// `powermt control ...`: changes the simulated machine while it runs: path
// states and modes, devices arriving on or leaving the fabric, and faults of
// powermt's own sub-commands. Not a command of the real powermt.
#ifndef SIM_POWERMT_CONTROL_COMMAND_H
#define SIM_POWERMT_CONTROL_COMMAND_H

#include "machine/load.h"

#include <string>
#include <vector>

namespace sim {

// Exit status of a well-formed control command that the machine refuses
// (unknown path or device, a device text that does not fit the machine).
inline constexpr int kControlRefused = 4;

extern const char* const kControlUsage;

// Runs `control ARGS` (args[0] is "control") on the state directory; returns
// the exit status. Nothing changes unless it succeeds.
int runControl(const std::vector<std::string>& args, const StateDir& dir, std::string& out, std::string& err);

// Takes the departed devices off the machine: their blocks leave the
// topology text and their paths, events and nodes go. Used by `powermt
// config`; the caller holds the exclusive lock and publishes nothing else.
void dropDeparted(const StateDir& dir, Loaded& loaded);

// The topology text without the blocks of the devices in `names`.
std::string withoutDevices(std::string_view text, const NameSet& names);

} // namespace sim

#endif
