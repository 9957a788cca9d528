// SPDX-License-Identifier: Apache-2.0
// Starting programs and capturing what they write: the one process runner
// that the host stand-in, the simulator, the tools, the tests and the
// benchmarks share.
//
// run(launch) starts a program, feeds its standard input, captures or drains
// its standard output and standard error together in one poll loop (so
// neither stream can fill up and stall the other), enforces a time limit by
// killing the whole process group, and reaps it. spawn(launch) is the first
// half alone, for callers that read a long-running program themselves;
// runProgram(program, arguments) the whole of it for callers that want no
// more than the exit status and the output, a failure to run it thrown.
//
// The child side is posix_spawn: everything it needs (argument and
// environment arrays, the resolved program path, descriptor actions) is
// prepared before, so nothing allocates between the start of the child and
// its exec. The child starts with default signal dispositions, the given (by
// default empty) signal mask, and no descriptor but 0, 1, 2 and those it is
// handed (Launch::passDescriptors). Every
// descriptor this library makes is close-on-exec, so runs started by other
// threads at the same time inherit none of them. Every call is restarted on
// EINTR, and no descriptor, process or zombie outlives a run on any path
// (exceptions included).
#ifndef MPIO_PROCESS_H
#define MPIO_PROCESS_H

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Internal to whatever links it: never exported from a shared library.
#pragma GCC visibility push(hidden)

namespace mpio::process {

using Clock = std::chrono::steady_clock;

// An owned file descriptor, closed on destruction. close(2) is not retried on
// EINTR: Linux releases the descriptor whatever it returns.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// A pipe with both ends close-on-exec and numbered 3 or above, so that a
// child's dup2 onto 0, 1 or 2 always makes a fresh inheritable descriptor.
struct Pipe {
    Fd read;
    Fd write;
};
// Result: 0, or the errno value of the failure (both ends then closed).
int makePipe(Pipe& pipe);

// The description of an errno value ("No such file or directory") or of a
// signal ("Killed"), or "error N" / "signal N" for an unknown one.
// Thread-safe.
std::string errnoText(int error);
std::string signalText(int signal);

// Appends text to line so that it stays on one line and shows no control
// character to a terminal: a newline becomes \n, a tab \t, any other control
// character (below 0x20, and 0x7f) \xNN, and a backslash \\, so that the
// escaping can be undone without ambiguity. Other bytes (UTF-8 text
// included) are kept as they are.
void appendEscaped(std::string& line, std::string_view text);
// text escaped as appendEscaped does.
std::string escaped(std::string_view text);

// Writes all of text to the blocking descriptor fd, retrying short writes
// and EINTR. Result: 0, or the errno value of the write that failed.
int writeAll(int fd, std::string_view text);

// Gives sig the disposition handler (SIG_DFL, SIG_IGN or a function), with
// no flags and nothing blocked while the handler runs. Result: 0, or the
// errno value of sigaction.
int setDisposition(int sig, void (*handler)(int));

// What the child's standard input is.
enum class Input {
    Empty,   // a pipe at end-of-file: reads see end-of-file at once
    Text,    // a pipe carrying Launch::inputText, then end-of-file
    Inherit, // the caller's own standard input
};

// Where one of the child's output streams goes.
enum class Sink {
    Capture,    // a pipe; run() keeps what arrives (up to Launch::outputLimit)
    Discard,    // a pipe; run() reads and drops it, so the writer never stalls
    Inherit,    // the caller's own descriptor
    IntoOutput, // standard error only: the standard output's pipe, like 2>&1
};

// An environment change: a name, and its new value or none to remove it.
// (A standard type, so that no instantiation over a type of this library
// shows up among a shared library's exports in an unoptimised build.)
using EnvChange = std::pair<std::string, std::optional<std::string>>;

struct Launch {
    // The argument vector; argv[0] names the program. Must not be empty.
    std::vector<std::string> argv;
    // The file executed. Empty: argv[0], searched for on the child's PATH
    // (then in searchAfterPath) when it holds no '/'.
    std::string program;
    std::vector<std::string> searchAfterPath;

    Input input = Input::Empty;
    std::string inputText;

    // The child's environment: the caller's (or nothing) with the changes
    // applied in order.
    bool inheritEnvironment = true;
    std::vector<EnvChange> environment;

    Sink output = Sink::Capture;
    Sink errors = Sink::Capture;
    // Descriptors of the caller that the child gets as 3, 4, ... in this
    // order (the caller's own stay as they are).
    std::vector<int> passDescriptors;

    // In a process group of its own (the group id is the child's pid), so
    // that a kill reaches every process it started.
    bool ownProcessGroup = true;
    // The child's signal mask; none: empty.
    std::optional<sigset_t> signalMask;

    // run(): after this long the group is killed with SIGKILL. What the
    // dying group still writes is read for at most drainAfterKill more.
    std::optional<std::chrono::milliseconds> timeout;
    std::chrono::milliseconds drainAfterKill{500};
    // run(): the most bytes kept of each captured stream. Whatever comes
    // after is read and dropped, and the result says so.
    std::size_t outputLimit = std::numeric_limits<std::size_t>::max();
};

// A Launch that runs line with /bin/sh -c; the other fields keep their defaults.
Launch shellCommand(std::string line);

// Why a run did not give the program's own outcome.
enum class Outcome {
    Exited,        // code: the exit status
    Signalled,     // code: the signal that ended it
    TimedOut,      // the group was killed; the output read until then is kept
    NoPipe,        // code: errno of pipe2 or of moving a pipe end above 2
    NotStarted,    // code: errno of the program lookup, of copying a passed descriptor, or of posix_spawn
    CaptureFailed, // code: errno of call (poll, read, write); the group was killed
    StatusLost,    // it ran, but the exit status was reaped elsewhere
};

// What a run kept of the child's two output streams.
struct Captured {
    std::string out; // standard output (and standard error with IntoOutput)
    std::string err;
    bool outTruncated = false; // bytes past the output limit were dropped
    bool errTruncated = false;
};

struct Result : Captured {
    Outcome outcome = Outcome::NotStarted;
    int code = 0;
    const char* call = nullptr; // the failing call, for NoPipe, NotStarted, CaptureFailed

    bool exitedWith(int status) const { return outcome == Outcome::Exited && code == status; }
};

// A started child. Unless it was reaped, destruction kills it (its group
// when it has one) and reaps it.
class Child {
public:
    Child() = default;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    pid_t pid() const { return pid_; }
    explicit operator bool() const { return pid_ > 0; }

    // The parent's ends of the pipes the Launch asked for (empty otherwise):
    // the write end of standard input (already closed for Input::Empty), the
    // read ends of standard output and standard error.
    Fd input;
    Fd output;
    Fd errors;

    // With Input::Text: how much of the text spawn() already wrote; the
    // rest is for the caller to write to input.
    std::size_t inputWritten() const { return inputWritten_; }

    // Sends sig to the child's group when it leads one, else to the child.
    // Nothing once reaped, so a recycled pid is never signalled.
    void kill(int sig = SIGKILL) const;

    // Waits until the child has exited or the deadline has passed, without
    // reaping it (a pidfd where the kernel has them). Result: true when it
    // has exited.
    bool awaitExit(Clock::time_point deadline) const;

    // Blocks until the child has exited and reaps it. Result: the wait
    // status, or none when it is lost (the caller ignores SIGCHLD or reaps
    // children itself, so the kernel or someone else took it).
    std::optional<int> reap();

private:
    friend Child spawn(const Launch& launch, Result& failure);
    bool exited() const;
    void finish() noexcept;

    pid_t pid_ = -1;
    bool group_ = false;
    bool reaped_ = false;
    std::optional<int> status_;
    std::size_t inputWritten_ = 0;
    Fd exitFd_; // the pidfd, when the kernel gives one
};

// Starts launch's program. On failure the Child is empty and failure says
// why (Outcome NoPipe or NotStarted, code and call filled in).
Child spawn(const Launch& launch, Result& failure);

// Runs launch's program to its end. Throws only std::bad_alloc (memory for the
// capture), after killing and reaping the child.
Result run(const Launch& launch);

// What runProgram does besides running the program; every member has an
// initializer, so that a caller names only those it sets:
// runProgram("sfdisk", {"--dump", image}, {.timeout = std::chrono::seconds(10)}).
struct RunOptions {
    std::string input{};                                               // its standard input; empty: none
    std::vector<EnvChange> environment{};                              // changes to the caller's environment
    std::chrono::milliseconds timeout{60000};                          // then its process group is killed
    std::size_t outputLimit = std::numeric_limits<std::size_t>::max(); // bytes kept of each stream
};

// A program run to its end, as the shell tells it.
struct ProgramRun : Captured {
    int exitStatus = -1;   // its exit status, 128 + the signal that ended it, or -1 when it timed out
    bool timedOut = false; // it was killed after RunOptions::timeout; the output until then is kept
};

// Runs program (a path, or a name looked up on PATH and then in /usr/sbin
// and /sbin) with arguments, in a process group of its own, capturing both
// output streams. Throws std::runtime_error naming the program when it
// cannot be started or read or its exit status is lost, and std::bad_alloc
// as run() does. The one runner for helper programs (sfdisk) and the tests.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const RunOptions& options = {});

} // namespace mpio::process

#pragma GCC visibility pop

#endif // MPIO_PROCESS_H
