// SPDX-License-Identifier: Apache-2.0
// run(): one poll loop that feeds the child's standard input and drains its
// standard output and standard error together, then the time limit, the
// kill of the group and the reaping. The child is reaped only at the very
// end, so its pid, which is also the group id, cannot be reused while the
// group may still be signalled.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <span>
#include <string_view>

#include "mpio/process.h"
#include "spawn_internal.h"

namespace mpio::process {

namespace {

using Deadline = std::optional<Clock::time_point>;

constexpr std::size_t kScratch = 256 * 1024;
// A stream that has carried as much as a default pipe holds gets a larger
// pipe, so that its writer does not wait for this reader; small outputs keep
// the default and cost the user no pipe pages.
constexpr std::size_t kLargeStream = 64 * 1024;
constexpr int kLargePipe = 1024 * 1024; // asked for; the kernel may refuse
// A large stream that trickles in (a read finds less than kTrickle waiting)
// is read in batches: the loop first waits up to kBatchWait, or until the
// child exits, so that the writer's small writes (4 KiB at a time from awk
// or grep) pile up in the pipe and are taken in one read instead of one
// wake-up of this thread each. The large pipe holds them meanwhile.
constexpr std::size_t kTrickle = kScratch;
constexpr auto kBatchWait = std::chrono::milliseconds(1);

// What run() keeps of one captured stream: its first limit bytes.
struct StreamText {
    explicit StreamText(std::size_t bytes) : limit(bytes) {}
    void append(const char* data, std::size_t n) {
        const std::size_t room = limit - text.size();
        if (n > room) truncated = true;
        text.append(data, std::min(n, room));
    }
    std::size_t limit;
    std::string text;
    bool truncated = false;
};

// One output stream of the child: the read end of its pipe and where its
// bytes go (nowhere without a buffer).
struct Stream {
    Fd* fd;
    StreamText* keep;
    std::size_t received = 0;
    bool largePipe = false; // grown to kLargePipe
};

// The rest of the standard input text, still to be written.
struct Feed {
    Fd* fd;
    std::string_view rest;
};

// A write to a pipe whose reader has gone raises SIGPIPE in the writing
// thread. While the feed lasts, this thread blocks it, and afterwards takes
// back the one that the feed raised, so that neither the process nor other
// threads see it.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigset_t pipe;
        ::sigemptyset(&pipe);
        ::sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        ::sigpending(&pending);
        pendingBefore_ = ::sigismember(&pending, SIGPIPE) == 1;
        ::pthread_sigmask(SIG_BLOCK, &pipe, &previous_);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;
    ~SigpipeGuard() {
        if (::sigismember(&previous_, SIGPIPE) == 1) return; // the caller blocks it anyway
        if (!pendingBefore_) {
            sigset_t pipe;
            ::sigemptyset(&pipe);
            ::sigaddset(&pipe, SIGPIPE);
            const timespec zero{0, 0};
            while (::sigtimedwait(&pipe, nullptr, &zero) == SIGPIPE) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }

private:
    sigset_t previous_;
    bool pendingBefore_ = false;
};

enum class Pump { AllClosed, Expired, Failed };

// One run's loop over its descriptors.
class Loop {
public:
    Loop(const Child& child, Stream* streams, Feed feed) : child_(child), streams_(streams), feed_(feed) {}

    // Feeds and reads until every descriptor is closed or the deadline has
    // passed. On failure, error and call say why.
    Pump pump(Deadline deadline) {
        for (;;) {
            if (batchNext_) awaitBatch(deadline);
            pollfd fds[3];
            nfds_t n = 0;
            for (int i = 0; i < 2; ++i)
                if (*streams_[i].fd) fds[n++] = pollfd{streams_[i].fd->get(), POLLIN, 0};
            if (*feed_.fd) fds[n++] = pollfd{feed_.fd->get(), POLLOUT, 0};
            if (n == 0) return Pump::AllClosed;
            int timeout = -1;
            if (deadline) {
                const auto now = Clock::now();
                if (now >= *deadline) return Pump::Expired;
                timeout = pollTimeout(*deadline - now);
            }
            if (::poll(fds, n, timeout) < 0) {
                if (errno == EINTR) continue;
                stop(errno, "poll");
                return Pump::Failed;
            }
            for (nfds_t i = 0; i < n; ++i) {
                if (fds[i].revents == 0) continue;
                const bool ok = (fds[i].revents & POLLNVAL)    ? stop(EBADF, "poll")
                                : fds[i].fd == feed_.fd->get() ? feed()
                                                               : readFrom(fds[i].fd);
                if (!ok) return Pump::Failed;
            }
        }
    }

    int error = 0;
    const char* call = nullptr;

private:
    bool stop(int e, const char* what) {
        error = e;
        call = what;
        return false;
    }

    bool feed() {
        int e = 0;
        const std::size_t done = writeSome(*feed_.fd, feed_.rest, e);
        feed_.rest.remove_prefix(done);
        // EPIPE: the child closed its input early, which is its own affair.
        if (e != 0 && e != EPIPE) return stop(e, "write");
        if (feed_.rest.empty() || e == EPIPE) feed_.fd->reset();
        return true;
    }

    // The wait before a batch; none while standard input is still fed.
    void awaitBatch(Deadline deadline) {
        batchNext_ = false;
        if (*feed_.fd) return;
        const Clock::time_point until = Clock::now() + kBatchWait;
        child_.awaitExit(deadline ? std::min(until, *deadline) : until);
    }

    bool readFrom(int fd) {
        Stream& s = *streams_[0].fd && streams_[0].fd->get() == fd ? streams_[0] : streams_[1];
        const std::span<char> into = scratch();
        const ssize_t got = ::read(fd, into.data(), into.size());
        if (got > 0) {
            const auto n = static_cast<std::size_t>(got);
            if (s.keep) s.keep->append(into.data(), n);
            if (s.received < kLargeStream && s.received + n >= kLargeStream)
                s.largePipe = ::fcntl(fd, F_SETPIPE_SZ, kLargePipe) >= kLargePipe;
            s.received += n;
            if (s.largePipe && n < kTrickle) batchNext_ = true;
        } else if (got == 0) {
            s.fd->reset();
        } else if (errno != EINTR && errno != EAGAIN) {
            return stop(errno, "read");
        }
        return true;
    }

    std::span<char> scratch() {
        if (!scratch_) scratch_.reset(new char[kScratch]); // left uninitialised: it is written before it is read
        return {scratch_.get(), kScratch};
    }

    const Child& child_;
    Stream* streams_;
    Feed feed_;
    std::unique_ptr<char[]> scratch_;
    bool batchNext_ = false;
};

Outcome outcomeOf(int status, int& code) {
    if (WIFSIGNALED(status)) {
        code = WTERMSIG(status);
        return Outcome::Signalled;
    }
    code = WEXITSTATUS(status);
    return Outcome::Exited;
}

} // namespace

Result run(const Launch& launch) {
    Result result;
    Child child = spawn(launch, result);
    if (!child) return result;
    const auto started = Clock::now();

    StreamText out(launch.outputLimit), err(launch.outputLimit);
    Stream streams[2] = {{&child.output, launch.output == Sink::Capture ? &out : nullptr},
                         {&child.errors, launch.errors == Sink::Capture ? &err : nullptr}};
    for (const Stream& s : streams)
        if (*s.fd) makeNonBlocking(*s.fd);
    Feed feed{&child.input,
              child.input ? std::string_view(launch.inputText).substr(child.inputWritten()) : std::string_view()};
    std::optional<SigpipeGuard> guard;
    if (child.input) guard.emplace();

    Deadline deadline;
    if (launch.timeout) deadline = started + *launch.timeout;
    Loop loop(child, streams, feed);
    const Pump outcome = loop.pump(deadline);
    bool expired = outcome == Pump::Expired;
    if (outcome == Pump::AllClosed && deadline) expired = !child.awaitExit(*deadline);
    if (outcome == Pump::Failed || expired) {
        child.kill();
        child.input.reset();
        // What the dying group still writes is kept; a process that left
        // the group and holds a pipe open is not waited for beyond the bound.
        if (expired) loop.pump(Clock::now() + launch.drainAfterKill);
        child.output.reset();
        child.errors.reset();
    }
    guard.reset();
    const std::optional<int> status = child.reap();

    if (outcome == Pump::Failed) {
        result.outcome = Outcome::CaptureFailed;
        result.code = loop.error;
        result.call = loop.call;
    } else if (expired) {
        result.outcome = Outcome::TimedOut;
    } else if (!status) {
        result.outcome = Outcome::StatusLost;
    } else {
        result.outcome = outcomeOf(*status, result.code);
    }
    result.out = std::move(out.text);
    result.err = std::move(err.text);
    result.outTruncated = out.truncated;
    result.errTruncated = err.truncated;
    return result;
}

} // namespace mpio::process
