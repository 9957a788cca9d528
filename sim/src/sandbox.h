// SPDX-License-Identifier: Apache-2.0
// mpio-sandbox: runs a command in a private mount namespace that shows a
// simulated PowerPath machine.
#ifndef SIM_SANDBOX_H
#define SIM_SANDBOX_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mpio/process.h"

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

// Parses mpio-sandbox's arguments (without the program name). Throws
// std::invalid_argument with a message for a bad command line.
SandboxOptions parseSandboxArgs(const std::vector<std::string>& args);

extern const char* const kSandboxUsage;

// Makes the sandbox, runs the command in it and tears it down; returns the
// command's exit status (128 + signal when a signal ended it). Messages go
// to standard error. It takes over the process's signal mask and the
// dispositions of SIGCHLD, SIGPIPE and the forwarded signals: it is the whole
// of mpio-sandbox's main.
int runSandbox(const SandboxOptions& options);

// The hidden modes (argv[1], not in --help) in which mpio-sandbox starts
// itself for the processes it needs beside it: the init of the PID namespace
// (sandbox_init.h) and the clean-up guard (cleanupguard.h).
inline constexpr std::string_view kInitMode = "--internal-init";
inline constexpr std::string_view kCleanupGuardMode = "--internal-cleanup-guard";

// Runs the hidden mode that args[0] names. Result: its exit status, or none
// when args is an ordinary command line.
std::optional<int> runHiddenMode(const std::vector<std::string>& args);

// A launch of argv that shares the caller's standard streams and process
// group, as a forked child would; launchSelf: of this very program
// (/proc/self/exe) in `mode`, followed by `args`.
mpio::process::Launch sharingStreams(std::vector<std::string> argv);
mpio::process::Launch launchSelf(std::string_view mode, const std::vector<std::string>& args = {});

} // namespace sim

#endif
