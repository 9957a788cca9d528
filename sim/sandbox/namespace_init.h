// SPDX-License-Identifier: Apache-2.0
// Process 1 of the sandbox's PID namespace, and the signal handling that it
// shares with the launcher.
#ifndef SIM_SANDBOX_NAMESPACE_INIT_H
#define SIM_SANDBOX_NAMESPACE_INIT_H

#include <signal.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mpio/process.h"

namespace sim {

// The signals that the launcher and the init pass on to their child.
inline constexpr int kForwardedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Gives sig the disposition handler (SIG_DFL, SIG_IGN or a function).
using mpio::process::setDisposition;

// The forwarded signals and SIGCHLD, which the launcher and the init keep
// blocked and take with sigwaitinfo.
sigset_t supervisedSignals();

// Passes every supervised signal but SIGCHLD on to child, and at each
// SIGCHLD asks ended() for child's exit code (none while it runs).
int forwardSignalsUntil(const mpio::process::Child& child, const std::function<std::optional<int>()>& ended);

// child's exit code (128 + signal when a signal ended it; kSandboxFailed when
// the status was lost) once it has ended, reaping it; none while it runs.
std::optional<int> exitCodeOnceEnded(mpio::process::Child& child);

// Starts the init as process 1 of a new PID namespace (the launcher's later
// children stay in its own, a sanitizer's helper too). It shows the state
// directory's files over a fresh /proc (entering `root` first, when it is
// not empty: sandbox_root.h), runs command, passes signals on, reaps
// orphans and ends with the command's exit code. launcherAlive is the read
// end of a pipe whose write end only the launcher holds; the init keeps
// `held` (or -1) open as long as it lives.
mpio::process::Child startNamespaceInit(const std::string& stateDir, const std::string& root,
                                        const std::vector<std::string>& command, int launcherAlive, int held);

// The init's main; args: kInitMode, the state directory, the root (empty:
// the host's), the command.
int namespaceInitMain(const std::vector<std::string>& args);

} // namespace sim

#endif
