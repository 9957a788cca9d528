// TmProcess::system: runs a shell command line and captures what it writes.
//
// The shell is started with posix_spawn in a process group of its own. Its
// standard output and standard error come back through two pipes that one
// poll loop drains together, so neither stream can fill up and stall the
// other; its standard input is an empty pipe. With a time limit, expiry kills
// the whole group. The shell is reaped only at the very end, so its process
// id, which is also the group id, cannot be reused while the group may still
// be signalled. See tmhost/TmHost.h for the contract.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>

#include "TmHostServices.h"
#include "internal.h"
#include "tmhost/TmHost.h"

extern char** environ;

namespace {

using tmhost::detail::errnoText;
using tmhost::detail::Fd;
using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

constexpr std::size_t kReadChunk = 256 * 1024;
// A stream that has carried this much gets a larger pipe, for fewer round
// trips; small outputs keep the default and cost the user no pipe pages.
constexpr std::size_t kLargeStream = 1024 * 1024;
constexpr int kLargePipe = 1024 * 1024; // asked for; the kernel may refuse

struct Pipe {
    Fd read;
    Fd write;
};

// A pipe with both ends close-on-exec, so that runs started by other threads
// at the same time do not inherit them, and numbered 3 or above, so that the
// child's dup2 onto 0, 1 or 2 always makes a fresh inheritable descriptor.
int makePipe(Pipe& pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    pipe.read = Fd(fds[0]);
    pipe.write = Fd(fds[1]);
    for (Fd* end : {&pipe.read, &pipe.write}) {
        if (end->get() > 2) continue;
        const int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, 3);
        if (moved < 0) return errno;
        *end = Fd(moved);
    }
    return 0;
}

// Starts /bin/sh -c command with the given descriptors as its 0, 1 and 2,
// and no other descriptor. Result: 0, or the errno value of the failure.
int spawnShell(const char* command, int in, int out, int err, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    int rc = ::posix_spawn_file_actions_init(&actions);
    if (rc != 0) return rc;
    rc = ::posix_spawnattr_init(&attr);
    if (rc != 0) {
        ::posix_spawn_file_actions_destroy(&actions);
        return rc;
    }
    sigset_t defaults;
    sigset_t mask;
    ::sigfillset(&defaults);
    ::sigdelset(&defaults, SIGKILL);
    ::sigdelset(&defaults, SIGSTOP);
    ::sigemptyset(&mask);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>("--"),
                    const_cast<char*>(command), nullptr};
    const short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if ((rc = ::posix_spawn_file_actions_adddup2(&actions, in, 0)) == 0 &&
        (rc = ::posix_spawn_file_actions_adddup2(&actions, out, 1)) == 0 &&
        (rc = ::posix_spawn_file_actions_adddup2(&actions, err, 2)) == 0 &&
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
        // Descriptors the host left inheritable stay with the host.
        (rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3)) == 0 &&
#endif
        (rc = ::posix_spawnattr_setflags(&attr, flags)) == 0 &&
        (rc = ::posix_spawnattr_setpgroup(&attr, 0)) == 0 &&
        (rc = ::posix_spawnattr_setsigdefault(&attr, &defaults)) == 0 &&
        (rc = ::posix_spawnattr_setsigmask(&attr, &mask)) == 0)
        rc = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    ::posix_spawnattr_destroy(&attr);
    ::posix_spawn_file_actions_destroy(&actions);
    return rc;
}

// The spawned shell. Unless it was reaped, destruction kills its group and
// reaps it, so that no path out of a run (an exception included) leaves a
// process or a zombie behind.
class Shell {
public:
    explicit Shell(pid_t pid) : pid_(pid) {
#ifdef SYS_pidfd_open
        const long fd = ::syscall(SYS_pidfd_open, pid, 0);
        if (fd >= 0) exitFd_ = Fd(static_cast<int>(fd));
#endif
    }
    Shell(const Shell&) = delete;
    Shell& operator=(const Shell&) = delete;
    ~Shell() {
        if (reaped_) return;
        killGroup();
        reap();
    }

    void killGroup() const {
        if (!reaped_) ::kill(-pid_, SIGKILL);
    }

    // Waits until the shell has exited or the deadline has passed, without
    // reaping it. Result: true when it has exited.
    bool awaitExit(Clock::time_point deadline) const {
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

    // Blocks until the shell has exited and collects its status. Result:
    // false when the status is lost (the host ignores SIGCHLD, so the kernel
    // reaped the shell itself).
    bool reap() {
        if (reaped_) return statusKnown_;
        pid_t r;
        do r = ::waitpid(pid_, &status_, 0);
        while (r < 0 && errno == EINTR);
        reaped_ = true;
        statusKnown_ = r == pid_;
        return statusKnown_;
    }

    int status() const { return status_; }

    // A poll timeout in milliseconds that is never shorter than left.
    static int pollTimeout(Clock::duration left) {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return static_cast<int>(std::clamp<decltype(ms)>(ms, 0, INT_MAX));
    }

private:
    bool exited() const {
        siginfo_t info{};
        int r;
        do r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
        while (r < 0 && errno == EINTR);
        return r < 0 || info.si_pid == pid_; // an error: there is nothing left to wait for
    }

    pid_t pid_;
    Fd exitFd_;
    int status_ = 0;
    bool reaped_ = false;
    bool statusKnown_ = false;
};

// One captured stream: the read end of its pipe and where its bytes go
// (nowhere when into is null).
struct Stream {
    Fd fd;
    std::string* into;
    std::size_t received = 0;
};

enum class Pump { AllClosed, Expired, Failed };

// Reads every open stream until all have reached end-of-file or the deadline
// has passed. On failure, failure receives the errno value and what names the
// call that failed.
Pump pump(Stream* streams, std::size_t count, Deadline deadline, char* buffer, int& failure,
          const char*& what) {
    for (;;) {
        pollfd fds[2];
        Stream* of[2];
        nfds_t n = 0;
        for (std::size_t i = 0; i < count; ++i)
            if (streams[i].fd) {
                fds[n] = pollfd{streams[i].fd.get(), POLLIN, 0};
                of[n++] = &streams[i];
            }
        if (n == 0) return Pump::AllClosed;
        int timeout = -1;
        if (deadline) {
            const auto now = Clock::now();
            if (now >= *deadline) return Pump::Expired;
            timeout = Shell::pollTimeout(*deadline - now);
        }
        const int ready = ::poll(fds, n, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            what = "poll";
            return Pump::Failed;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].revents & POLLNVAL) {
                failure = EBADF;
                what = "poll";
                return Pump::Failed;
            }
            const ssize_t got = ::read(fds[i].fd, buffer, kReadChunk);
            if (got > 0) {
                Stream& s = *of[i];
                const std::size_t before = s.received;
                s.received += static_cast<std::size_t>(got);
                if (before < kLargeStream && s.received >= kLargeStream)
                    ::fcntl(s.fd.get(), F_SETPIPE_SZ, kLargePipe);
                if (s.into) s.into->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0) {
                of[i]->fd.reset();
            } else if (errno != EINTR && errno != EAGAIN) {
                failure = errno;
                what = "read";
                return Pump::Failed;
            }
        }
    }
}

// Non-blocking, so that a wake-up without data can never block the loop.
void makeNonBlocking(const Fd& fd) {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
}

int fail(std::string* error, int result, const std::string& text) {
    if (error) *error = text;
    return result;
}

int run(const char* command, std::string* output, std::string* error, int limit, bool merge) {
    Pipe in, out, err;
    int e = makePipe(in);
    if (e == 0) e = makePipe(out);
    if (e == 0 && !merge) e = makePipe(err);
    if (e != 0)
        return fail(error, tmhost::kCaptureFailed, "could not create a pipe: " + errnoText(e));
    in.write.reset(); // the child reads end-of-file at once

    pid_t pid = -1;
    e = spawnShell(command, in.read.get(), out.write.get(),
                   merge ? out.write.get() : err.write.get(), pid);
    if (e != 0)
        return fail(error, tmhost::kSpawnFailed, "could not start /bin/sh: " + errnoText(e));
    Shell shell(pid);
    const auto started = Clock::now();
    in.read.reset();
    out.write.reset();
    err.write.reset();

    Stream streams[2] = {{std::move(out.read), output}, {std::move(err.read), error}};
    const std::size_t count = merge ? 1 : 2;
    for (std::size_t i = 0; i < count; ++i) makeNonBlocking(streams[i].fd);
    const auto buffer = std::make_unique_for_overwrite<char[]>(kReadChunk);

    Deadline deadline;
    if (limit > 0) deadline = started + std::chrono::seconds(limit);
    int failure = 0;
    const char* what = nullptr;
    Pump outcome = pump(streams, count, deadline, buffer.get(), failure, what);
    bool expired = outcome == Pump::Expired;
    if (outcome == Pump::AllClosed && deadline) expired = !shell.awaitExit(*deadline);
    if (outcome == Pump::Failed || expired) {
        shell.killGroup();
        // What the dying group still wrote is kept; a process that left the
        // group and holds a pipe open is not waited for beyond the bound.
        if (expired)
            pump(streams, count, Clock::now() + std::chrono::milliseconds(tmhost::kDrainAfterKillMs),
                 buffer.get(), failure, what);
        for (Stream& s : streams) s.fd.reset();
    }
    const bool statusKnown = shell.reap();

    int result;
    std::string how;
    if (outcome == Pump::Failed) {
        result = tmhost::kCaptureFailed;
        how = std::string(what) + " failed while capturing output: " + errnoText(failure);
    } else if (expired) {
        result = tmhost::kTimedOut;
        how = "timed out after " + std::to_string(limit) + " s; process group killed";
    } else if (!statusKnown) {
        result = tmhost::kCaptureFailed;
        how = "exit status lost: the shell was reaped elsewhere (is SIGCHLD ignored?)";
    } else if (WIFEXITED(shell.status())) {
        result = WEXITSTATUS(shell.status());
        how = "exit status " + std::to_string(result);
    } else if (WIFSIGNALED(shell.status())) {
        const int sig = WTERMSIG(shell.status());
        result = tmhost::kKilledBySignal + sig;
        how = "killed by signal " + std::to_string(sig) + " (" +
              tmhost::detail::signalText(sig) + ")";
    } else {
        result = tmhost::kCaptureFailed;
        how = "unexpected wait status " + std::to_string(shell.status());
    }
    if (result != 0 && error && error->empty()) *error = how;
    return result;
}

} // namespace

int TmProcess::system(const char* command, std::string* output, std::string* error,
                      int timeoutSeconds, bool mergeErrors) {
    if (output) output->clear();
    if (error) error->clear();
    if (output && output == error) { // one string for both: it takes both streams
        mergeErrors = true;
        error = nullptr;
    }
    if (!command) return fail(error, tmhost::kSpawnFailed, "no command given");
    const int limit = timeoutSeconds > 0    ? timeoutSeconds
                      : timeoutSeconds == 0 ? tmhost::defaultTimeout()
                                            : 0;
    try {
        return run(command, output, error, limit, mergeErrors);
    } catch (const std::bad_alloc&) {
        // The shell was killed and reaped and every descriptor closed while
        // the exception left run(); give the memory back before reporting.
        if (output) std::string().swap(*output);
        if (error) std::string().swap(*error);
        return fail(error, tmhost::kCaptureFailed, "out of memory while capturing output");
    }
}
