// SPDX-License-Identifier: Apache-2.0
// mpio-sandbox: runs a command in a private mount namespace that shows a
// simulated PowerPath machine.
#ifndef SIM_SANDBOX_LAUNCHER_H
#define SIM_SANDBOX_LAUNCHER_H

#include <string>
#include <vector>

namespace sim {

// Exit status of mpio-sandbox when the sandbox cannot be made (bad command
// line, bad topology, no namespace, no loop device...). 126 and 127 keep the
// shell's meaning: the command could not be run or was not found.
inline constexpr int kSandboxFailed = 125;
inline constexpr int kCommandNotRunnable = 126;
inline constexpr int kCommandNotFound = 127;

struct SandboxOptions {
    std::string topologyFile;
    std::string keepState;      // empty: a private temporary state directory
    std::string powermtProgram; // empty: powermt-sim beside mpio-sandbox
    std::string root;           // empty: the host's root file system
    std::vector<std::string> command;
};

// Makes the sandbox, runs the command in it and tears it down; returns the
// command's exit status (128 + signal when a signal ended it). Messages go
// to standard error. It takes over the process's signal mask and the
// dispositions of SIGCHLD, SIGPIPE and the forwarded signals: it is the whole
// of mpio-sandbox's main.
int runSandbox(const SandboxOptions& options);

} // namespace sim

#endif
