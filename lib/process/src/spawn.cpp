// SPDX-License-Identifier: Apache-2.0
// Starting a child: the program lookup, its environment, its descriptors
// and posix_spawn; and the Child that owns it until it is reaped.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <thread>

#include "mpio/process.h"
#include "spawn_internal.h"

extern char** environ;

namespace mpio::process {

namespace {

// A pipe grown to this size holds a larger standard input at once.
constexpr int kLargePipe = 1024 * 1024; // asked for; the kernel may refuse

std::string_view nameOf(std::string_view entry) { return entry.substr(0, entry.find('=')); }

// Whether the child gets an environment other than the caller's own.
bool ownEnvironment(const Launch& launch) { return !launch.inheritEnvironment || !launch.environment.empty(); }

// "NAME=value" entries of the child's environment, when it has its own.
std::vector<std::string> childEnvironment(const Launch& launch) {
    std::vector<std::string> env;
    if (!ownEnvironment(launch)) return env;
    if (launch.inheritEnvironment)
        for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
    for (const EnvChange& change : launch.environment) {
        const std::string& name = change.first;
        std::erase_if(env, [&](const std::string& e) { return nameOf(e) == name; });
        if (change.second) env.push_back(name + "=" + *change.second);
    }
    return env;
}

// PATH as the child will see it.
std::string_view searchPath(const Launch& launch, const std::vector<std::string>& env) {
    if (!ownEnvironment(launch)) {
        const char* path = ::getenv("PATH");
        return path ? path : "";
    }
    for (const std::string& e : env)
        if (nameOf(e) == "PATH") return std::string_view(e).substr(5);
    return {};
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

// The file to execute, looked up as execvp does (an empty PATH element is
// the current directory), then in launch.searchAfterPath. Result: 0, or ENOENT
// (nowhere) or EACCES (found, but not an executable file).
int resolveProgram(const Launch& launch, const std::vector<std::string>& env, std::string& path) {
    if (!launch.program.empty()) {
        path = launch.program;
        return 0;
    }
    const std::string& name = launch.argv.front();
    if (name.empty()) return ENOENT;
    if (name.find('/') != std::string::npos) {
        path = name;
        return 0;
    }
    std::vector<std::string> dirs;
    std::string_view search = searchPath(launch, env);
    if (search.empty()) search = "/bin:/usr/bin";
    for (std::size_t from = 0;;) {
        const std::size_t colon = search.find(':', from);
        const std::string_view dir = search.substr(from, colon - from);
        dirs.emplace_back(dir.empty() ? "." : dir);
        if (colon == std::string_view::npos) break;
        from = colon + 1;
    }
    dirs.insert(dirs.end(), launch.searchAfterPath.begin(), launch.searchAfterPath.end());
    int failure = ENOENT;
    for (const std::string& dir : dirs) {
        std::string candidate = dir + "/" + name;
        if (isExecutableFile(candidate)) {
            path = std::move(candidate);
            return 0;
        }
        if (::access(candidate.c_str(), F_OK) == 0) failure = EACCES; // there, not runnable
    }
    return failure;
}

// The null-terminated array that exec takes; exec does not write through it.
std::vector<char*> pointersTo(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// The child's descriptors 0, 1 and 2: a descriptor to put there, or -1 to
// leave the caller's; and those it gets as 3, 4, ...
struct ChildFds {
    int in = -1;
    int out = -1;
    int err = -1;
    const std::vector<Fd>* passed = nullptr;
};

// Close-on-exec copies of the descriptors to pass, numbered above all their
// targets 3 .. 3+n-1, so that no dup2 onto a target overwrites a source still
// to come. Result: 0, or the errno value of the failure.
int copyAboveTargets(const std::vector<int>& fds, std::vector<Fd>& copies) {
    const int lowest = 3 + static_cast<int>(fds.size());
    for (const int fd : fds) {
        const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, lowest);
        if (copy < 0) return errno;
        copies.emplace_back(copy);
    }
    return 0;
}

// posix_spawn with the descriptors, signal state and group of the Launch, and
// no other descriptor. Result: 0, or the errno value of the failure.
int startChild(const Launch& launch, const char* path, char* const argv[], char* const* envp, const ChildFds& fds,
               pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    int rc = ::posix_spawn_file_actions_init(&actions);
    if (rc != 0) return rc;
    rc = ::posix_spawnattr_init(&attr);
    if (rc != 0) {
        ::posix_spawn_file_actions_destroy(&actions);
        return rc;
    }
    // Every signal back to its default, the C library's internal ones too:
    // sigfillset leaves those out, and glibc's child then sets them to
    // SIG_IGN, which the exec keeps.
    sigset_t defaults;
    std::memset(&defaults, 0xff, sizeof defaults);
    ::sigdelset(&defaults, SIGKILL);
    ::sigdelset(&defaults, SIGSTOP);
    sigset_t mask;
    if (launch.signalMask)
        mask = *launch.signalMask;
    else
        ::sigemptyset(&mask);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (launch.ownProcessGroup) flags |= POSIX_SPAWN_SETPGROUP;
    const int targets[] = {0, 1, 2};
    const int sources[] = {fds.in, fds.out, fds.err};
    for (int i = 0; i < 3 && rc == 0; ++i)
        if (sources[i] >= 0) rc = ::posix_spawn_file_actions_adddup2(&actions, sources[i], targets[i]);
    int next = 3;
    for (const Fd& fd : *fds.passed)
        if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions, fd.get(), next++);
    if (rc == 0 &&
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
        // Descriptors the caller left inheritable stay with the caller.
        (rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, next)) == 0 &&
#endif
        (rc = ::posix_spawnattr_setflags(&attr, flags)) == 0 && (rc = ::posix_spawnattr_setpgroup(&attr, 0)) == 0 &&
        (rc = ::posix_spawnattr_setsigdefault(&attr, &defaults)) == 0 &&
        (rc = ::posix_spawnattr_setsigmask(&attr, &mask)) == 0)
        rc = ::posix_spawn(&pid, path, &actions, &attr, argv, envp);
    ::posix_spawnattr_destroy(&attr);
    ::posix_spawn_file_actions_destroy(&actions);
    return rc;
}

bool needsPipe(Sink sink) { return sink == Sink::Capture || sink == Sink::Discard; }

Child failed(Result& failure, Outcome outcome, int code, const char* call) {
    failure.outcome = outcome;
    failure.code = code;
    failure.call = call;
    return Child();
}

} // namespace

void makeNonBlocking(const Fd& fd) {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
}

int pollTimeout(Clock::duration left) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::clamp<decltype(ms)>(ms, 0, INT_MAX));
}

Launch shellCommand(std::string line) {
    Launch launch;
    launch.program = "/bin/sh";
    launch.argv = {"sh", "-c", "--", std::move(line)};
    return launch;
}

Child spawn(const Launch& launch, Result& failure) {
    if (launch.argv.empty()) return failed(failure, Outcome::NotStarted, EINVAL, "posix_spawn");
    const std::vector<std::string> env = childEnvironment(launch);
    std::string path;
    if (const int e = resolveProgram(launch, env, path); e != 0)
        return failed(failure, Outcome::NotStarted, e, "execvp");
    const std::vector<char*> argv = pointersTo(launch.argv);
    const std::vector<char*> ownEnv = pointersTo(env);
    char* const* const envp = ownEnvironment(launch) ? ownEnv.data() : environ;

    Pipe in, out, err;
    int e = 0;
    if (launch.input != Input::Inherit) e = makePipe(in);
    if (e == 0 && needsPipe(launch.output)) e = makePipe(out);
    if (e == 0 && needsPipe(launch.errors)) e = makePipe(err);
    if (e != 0) return failed(failure, Outcome::NoPipe, e, "pipe2");

    // The input goes into the pipe now, as far as it fits: the read end is
    // still ours, so this write can neither block nor meet a closed pipe.
    const std::string_view text = launch.input == Input::Text ? launch.inputText : std::string_view();
    std::size_t written = 0;
    if (!text.empty()) {
        if (text.size() > 64 * 1024) ::fcntl(in.write.get(), F_SETPIPE_SZ, kLargePipe);
        makeNonBlocking(in.write);
        int ignored;
        written = writeSome(in.write, text, ignored);
    }
    if (written == text.size()) in.write.reset(); // end-of-file

    std::vector<Fd> passed;
    if (const int e = copyAboveTargets(launch.passDescriptors, passed); e != 0)
        return failed(failure, Outcome::NotStarted, e, "fcntl");
    ChildFds fds{in.read.get(), out.write.get(), err.write.get(), &passed};
    if (launch.errors == Sink::IntoOutput) fds.err = out.write ? out.write.get() : 1;
    pid_t pid = -1;
    e = startChild(launch, path.c_str(), argv.data(), envp, fds, pid);
    if (e != 0) return failed(failure, Outcome::NotStarted, e, "posix_spawn");

    Child child;
    child.pid_ = pid;
    child.group_ = launch.ownProcessGroup;
#ifdef SYS_pidfd_open
    // Race-free: the child is ours and not reaped, so its pid is not reused.
    const long pidfd = ::syscall(SYS_pidfd_open, pid, 0);
    if (pidfd >= 0) child.exitFd_ = Fd(static_cast<int>(pidfd));
#endif
    child.input = std::move(in.write);
    child.output = std::move(out.read);
    child.errors = std::move(err.read);
    child.inputWritten_ = written;
    return child;
}

Child::Child(Child&& other) noexcept { *this = std::move(other); }

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        finish();
        input = std::move(other.input);
        output = std::move(other.output);
        errors = std::move(other.errors);
        exitFd_ = std::move(other.exitFd_);
        pid_ = std::exchange(other.pid_, -1);
        group_ = other.group_;
        reaped_ = other.reaped_;
        status_ = other.status_;
        inputWritten_ = other.inputWritten_;
    }
    return *this;
}

Child::~Child() { finish(); }

void Child::finish() noexcept {
    if (pid_ <= 0 || reaped_) return;
    kill(SIGKILL);
    reap();
}

void Child::kill(int sig) const {
    if (pid_ > 0 && !reaped_) ::kill(group_ ? -pid_ : pid_, sig);
}

bool Child::exited() const {
    siginfo_t info{};
    int r;
    do r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    while (r < 0 && errno == EINTR);
    return r < 0 || info.si_pid == pid_; // an error: there is nothing left to wait for
}

bool Child::awaitExit(Clock::time_point deadline) const {
    if (pid_ <= 0 || reaped_) return true;
    for (auto pause = std::chrono::milliseconds(1);;) {
        if (exited()) return true;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        const auto left = deadline - now;
        if (exitFd_) {
            pollfd p{exitFd_.get(), POLLIN, 0};
            ::poll(&p, 1, pollTimeout(left));
        } else {
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, left));
            pause = std::min(pause * 2, std::chrono::milliseconds(20));
        }
    }
}

std::optional<int> Child::reap() {
    if (pid_ <= 0 || reaped_) return status_;
    int status = 0;
    pid_t r;
    do r = ::waitpid(pid_, &status, 0);
    while (r < 0 && errno == EINTR);
    reaped_ = true;
    exitFd_.reset();
    if (r == pid_) status_ = status;
    return status_;
}

} // namespace mpio::process
