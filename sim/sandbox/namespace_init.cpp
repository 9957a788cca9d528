// SPDX-License-Identifier: Apache-2.0
// Process 1 of the sandbox's PID namespace: it runs the command and ends with
// it, and then the kernel kills every other process of the namespace.
#include "sandbox/namespace_init.h"

#include "machine/checked_files.h"
#include "machine/state_dir.h"
#include "sandbox/command_line.h"
#include "sandbox/dev_tree.h"
#include "sandbox/root_dir.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace process = mpio::process;

namespace {

// The descriptors that startNamespaceInit hands over.
constexpr int kLauncherAliveFd = 3;
constexpr int kHeldFd = 4;

// Whether the launcher is gone: the pipe end that only it held is closed.
bool launcherGone() {
    pollfd p{kLauncherAliveFd, POLLIN, 0};
    return ::poll(&p, 1, 0) != 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

// The command's own mount namespace, so that the launcher keeps the host's
// /proc (its /proc/self): there a /proc of the sandbox's PID namespace
// shows the state directory's files, or, with a root, that root is entered
// with the simulated machine laid over it.
void prepareMounts(const StateDir& state, const std::string& root) {
    if (::unshare(CLONE_NEWNS) != 0) throw SysError("cannot create the command's mount namespace", errno);
    if (root.empty()) {
        mountSimulatedProc(state, "/proc");
        return;
    }
    enterRoot(root, state);
}

void ignoreSignal(int) {}

// The command. A file that the kernel cannot execute (a script without
// "#!") is run by the shell, as execvp does: the shell's exec looks it up on
// PATH the same way and then runs it itself.
process::Child spawnCommand(const std::vector<std::string>& argv, process::Result& failure) {
    process::Launch launch = sharingStreams(argv);
    process::Child command = process::spawn(launch, failure);
    if (command || failure.code != ENOEXEC) return command;
    launch.program = "/bin/sh";
    launch.argv.insert(launch.argv.begin(), {"sh", "-c", "exec \"$0\" \"$@\""});
    return process::spawn(launch, failure);
}

// Reaps the orphans of the namespace that have ended, until the command
// ends. Result: the command's exit code once it has ended.
std::optional<int> reapOrphansUntilTheCommandEnds(process::Child& command) {
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == EINTR) continue;
            return kSandboxFailed; // no child left: the command's status is lost
        }
        if (info.si_pid == 0) return std::nullopt;
        if (info.si_pid == command.pid()) return exitCodeOnceEnded(command);
        ::waitpid(info.si_pid, nullptr, 0);
    }
}

} // namespace

sigset_t supervisedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kForwardedSignals) sigaddset(&set, sig);
    sigaddset(&set, SIGCHLD);
    return set;
}

std::optional<int> exitCodeOnceEnded(process::Child& child) {
    if (!child.awaitExit(process::Clock::now())) return std::nullopt;
    const std::optional<int> status = child.reap();
    if (!status) return kSandboxFailed;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

int forwardSignalsUntil(const process::Child& child, const std::function<std::optional<int>()>& ended) {
    const sigset_t waitSet = supervisedSignals();
    for (;;) {
        const int sig = ::sigwaitinfo(&waitSet, nullptr);
        if (sig == SIGCHLD) {
            if (const std::optional<int> code = ended()) return *code;
        } else if (sig > 0) {
            child.kill(sig); // not reaped yet: it is still ours
        } else if (errno != EINTR) {
            throw SysError("sigwaitinfo", errno);
        }
    }
}

process::Child startNamespaceInit(const std::string& stateDir, const std::string& root,
                                  const std::vector<std::string>& command, int launcherAlive, int held) {
    std::vector<std::string> args = {stateDir, root};
    args.insert(args.end(), command.begin(), command.end());
    process::Launch launch = launchSelf(kInitMode, args);
    // PATH starts with the state directory's bin (powermt), and the simulator
    // finds the state directory: where the command sees them.
    const char* path = std::getenv("PATH");
    const bool inRoot = !root.empty();
    launch.environment = {
        {"PATH", (inRoot ? kRootBinDir : StateDir{stateDir}.bin()) + ":" +
                     (path && *path ? path : "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin")},
        {kStateEnv, inRoot ? kRootStateDir : stateDir}};
    launch.passDescriptors = {launcherAlive};
    if (held >= 0) launch.passDescriptors.push_back(held);
    // Blocked from its start: a signal that comes before the init has its
    // handlers stays pending instead of being dropped, as an init's would be.
    launch.signalMask = supervisedSignals();
    const process::Fd own(::open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC));
    if (!own) throw SysError("cannot open /proc/self/ns/pid", errno);
    if (::unshare(CLONE_NEWPID) != 0) throw SysError("cannot create a PID namespace (mpio-sandbox needs root)", errno);
    process::Result failure;
    process::Child init = process::spawn(launch, failure);
    ::setns(own.get(), CLONE_NEWPID);
    if (!init) throw SysError(std::string("cannot start the sandbox's init (") + failure.call + ")", failure.code);
    return init;
}

int namespaceInitMain(const std::vector<std::string>& args) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // a killed launcher takes the namespace with it
    if (launcherGone() || args.size() < 4) return kSandboxFailed;
    ::close(kLauncherAliveFd);
    ::fcntl(kHeldFd, F_SETFD, FD_CLOEXEC); // for the init alone
    try {
        prepareMounts(StateDir{args[1]}, args[2]);
        // The init of a PID namespace gets only the signals it has a handler
        // for; they stay blocked and are taken with sigwaitinfo. As in the
        // launcher, a closed standard error must not kill it.
        for (int sig : kForwardedSignals) setDisposition(sig, ignoreSignal);
        setDisposition(SIGPIPE, SIG_IGN);
        process::Result failure;
        process::Child command = spawnCommand({args.begin() + 3, args.end()}, failure);
        if (!command) {
            std::fprintf(stderr, "mpio-sandbox: cannot run %s: %s\n", args[3].c_str(),
                         process::errnoText(failure.code).c_str());
            return failure.code == ENOENT ? kCommandNotFound : kCommandNotRunnable;
        }
        return forwardSignalsUntil(command, [&] { return reapOrphansUntilTheCommandEnds(command); });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mpio-sandbox: %s\n", e.what());
        return kSandboxFailed;
    }
}

} // namespace sim
