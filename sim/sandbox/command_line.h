// SPDX-License-Identifier: Apache-2.0
// mpio-sandbox's command line: its options, --generate, and the hidden
// modes in which it starts itself for the processes it needs beside it.
#ifndef SIM_SANDBOX_COMMAND_LINE_H
#define SIM_SANDBOX_COMMAND_LINE_H

#include "sandbox/launcher.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mpio/process.h"

namespace sim {

extern const char* const kSandboxUsage;

// Parses mpio-sandbox's arguments (without the program name). Throws
// std::invalid_argument with a message for a bad command line.
SandboxOptions parseSandboxArgs(const std::vector<std::string>& args);

// mpio-sandbox --generate DESCRIPTION [--output FILE] (args without the program
// name): writes the topology to standard output or FILE. Exit status 0; 2
// with a message for a bad DESCRIPTION or command line; 1 when FILE cannot be written.
int generateCommand(const std::vector<std::string>& args);

// The hidden modes (argv[1], not in --help): the init of the PID namespace
// (namespace_init.h) and the clean-up guard (cleanup_guard.h).
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
