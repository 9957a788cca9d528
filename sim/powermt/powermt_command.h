// SPDX-License-Identifier: Apache-2.0
// The simulated powermt command.
#ifndef SIM_POWERMT_POWERMT_COMMAND_H
#define SIM_POWERMT_POWERMT_COMMAND_H

#include <string>
#include <vector>

namespace sim {

// Exit statuses of powermt-sim.
inline constexpr int kPowermtOk = 0;
inline constexpr int kPowermtBadDevice = 1; // also the status of a failed sub-command
inline constexpr int kPowermtUsage = 2;
inline constexpr int kPowermtNoState = 3; // the state directory is missing or broken

// Runs powermt with `args` (without the program name) on the state
// directory `stateDir` (empty when the environment named none). What it
// prints goes to `out` and `err`; returns the exit status.
int runPowermt(const std::vector<std::string>& args, const std::string& stateDir, std::string& out, std::string& err);

} // namespace sim

#endif
