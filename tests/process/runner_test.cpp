// SPDX-License-Identifier: Apache-2.0
// The process runner's own rules, beyond the shell runs the host's tests
// cover: argument vectors and program lookup, standard input, environment,
// passed descriptors, output caps, the group kill, and runProgram over it.
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>

#include "caller_kit.h"
#include "mpio/process.h"
#include "processes.h"

namespace {

namespace process = mpio::process;
using mpiotest::openDescriptors;
using process::Outcome;
using process::ProgramRun;
using process::runProgram;
using mpiotest::noChildren;
using mpiotest::runs;

process::Launch argv(std::vector<std::string> args) {
    process::Launch launch;
    launch.argv = std::move(args);
    return launch;
}

process::Launch shell(const char* line) { return process::shellCommand(line); }

template <typename Change>
process::Launch with(process::Launch launch, Change change) {
    change(launch);
    return launch;
}

process::Launch input(process::Launch launch, std::string text) {
    launch.input = process::Input::Text;
    launch.inputText = std::move(text);
    return launch;
}

process::Launch limited(process::Launch launch, std::size_t limit) {
    launch.outputLimit = limit;
    return launch;
}

TEST(Runner, ArgumentsInputEnvironmentStreamsAndCaps) {
    const std::string big(3 << 20, 'x');
    // Two pipes holding a line each, handed over in the reverse order of their numbers.
    process::Pipe first, second;
    ASSERT_EQ(process::makePipe(first), 0);
    ASSERT_EQ(process::makePipe(second), 0);
    ASSERT_EQ(::write(first.write.get(), "1\n", 2) + ::write(second.write.get(), "2\n", 2), 4);
    first.write.reset();
    second.write.reset();
    struct Row {
        const char* what;
        process::Launch launch;
        Outcome outcome;
        int code;
        std::string out;
        std::string err;
        bool outTruncated = false;
        bool errTruncated = false;
    };
    const Row rows[] = {
        {"argv, found on PATH", argv({"printf", "%s|", "a b", "$HOME"}), Outcome::Exited, 0, "a b|$HOME|", ""},
        {"argv, nowhere", argv({"mpio_no_such_program"}), Outcome::NotStarted, ENOENT, "", ""},
        {"argv, a directory", argv({"/"}), Outcome::NotStarted, EACCES, "", ""},
        {"after PATH", with(argv({"true"}), [](auto& s) {
             s.environment = {{"PATH", "/nonexistent"}};
             s.searchAfterPath = {"/bin"};
         }), Outcome::Exited, 0, "", ""},
        {"input text", input(argv({"cat"}), "one\ntwo"), Outcome::Exited, 0, "one\ntwo", ""},
        {"input larger than a pipe", input(shell("wc -c"), big), Outcome::Exited, 0, "3145728\n", ""},
        {"input refused early", input(argv({"head", "-c", "2"}), big), Outcome::Exited, 0, "xx", ""},
        {"environment set and removed", with(shell("echo \"$MPIO_A-${HOME-none}\""), [](auto& s) {
             s.environment = {{"MPIO_A", "1"}, {"HOME", std::nullopt}};
         }), Outcome::Exited, 0, "1-none\n", ""},
        {"environment from nothing", with(argv({"/usr/bin/env"}), [](auto& s) {
             s.inheritEnvironment = false;
             s.environment = {{"MPIO_B", "2"}, {"MPIO_C", "3"}, {"MPIO_B", "4"}};
         }), Outcome::Exited, 0, "MPIO_C=3\nMPIO_B=4\n", ""},
        {"merged", with(shell("echo a; echo b >&2; exit 3"), [](auto& s) { s.errors = process::Sink::IntoOutput; }),
         Outcome::Exited, 3, "a\nb\n", ""},
        {"discarded", with(shell("echo a; echo b >&2"), [](auto& s) { s.output = process::Sink::Discard; }),
         Outcome::Exited, 0, "", "b\n"},
        {"descriptors passed", with(shell("read a <&3; read b <&4; test -e /proc/$$/fd/5 || echo $a$b"), [&](auto& s) {
             s.passDescriptors = {second.read.get(), first.read.get()};
         }), Outcome::Exited, 0, "21\n", ""},
        {"no signal ignored", argv({"grep", "^SigIgn", "/proc/self/status"}), Outcome::Exited, 0,
         "SigIgn:\t0000000000000000\n", ""},
        {"signalled", shell("kill -TERM $$"), Outcome::Signalled, SIGTERM, "", ""},
        {"cap reached exactly", limited(shell("printf 0123456789"), 10), Outcome::Exited, 0, "0123456789", ""},
        {"cap passed", limited(shell("printf 0123456789abc; printf 01234567890 >&2"), 10), Outcome::Exited, 0,
         "0123456789", "0123456789", true, true},
        {"cap passed past a mapping", limited(shell("head -c 5000000 /dev/zero | tr '\\0' x"), 3 << 20),
         Outcome::Exited, 0, big, "", true},
    };
    const int before = openDescriptors();
    sigset_t pendingBefore;
    ::sigpending(&pendingBefore);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const process::Result got = process::run(r.launch);
        EXPECT_EQ(got.outcome, r.outcome);
        EXPECT_EQ(got.code, r.code);
        EXPECT_TRUE(got.out == r.out) << got.out.size() << " bytes: " << got.out.substr(0, 100);
        EXPECT_EQ(got.err, r.err);
        EXPECT_EQ(got.outTruncated, r.outTruncated);
        EXPECT_EQ(got.errTruncated, r.errTruncated);
    }
    sigset_t pending;
    ::sigpending(&pending);
    EXPECT_EQ(::sigismember(&pending, SIGPIPE), ::sigismember(&pendingBefore, SIGPIPE))
        << "a refused input left SIGPIPE behind";
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_TRUE(noChildren());
}

bool eventually(const std::function<bool()>& condition) { return mpiotest::eventually(condition, std::chrono::seconds(2)); }

TEST(Runner, TimeoutAndOwnerKillTheWholeGroup) {
    // The background sleeper is the shell's child: only a kill of the group
    // reaches it.
    process::Launch launch = shell("sleep 100 & echo $!; wait");
    launch.timeout = std::chrono::milliseconds(300);
    const process::Result timedOut = process::run(launch);
    EXPECT_EQ(timedOut.outcome, Outcome::TimedOut);
    const pid_t sleeper = std::stoi(timedOut.out);
    EXPECT_TRUE(eventually([&] { return !runs(sleeper); })) << "the group survived the timeout";

    // A spawned child that its owner drops is killed with its group.
    launch.timeout.reset();
    process::Result failure;
    pid_t second = 0;
    {
        process::Child child = process::spawn(launch, failure);
        ASSERT_TRUE(child);
        char line[32] = {};
        ASSERT_GT(::read(child.output.get(), line, sizeof line - 1), 0);
        second = std::stoi(line);
    }
    EXPECT_TRUE(eventually([&] { return !runs(second); })) << "the group outlived its owner";
    EXPECT_TRUE(noChildren());
}

// The faults of the tests' former runner: a pipe leaked when the second one
// could not be made, a signal ended the capture early, and the wait after
// it had no time limit.
TEST(RunProgram, HoldsUnderSignalsShortDescriptorsAndClosedOutput) {
    {
        SCOPED_TRACE("descriptors for one pipe only");
        const int before = openDescriptors();
        rlimit old{};
        ::getrlimit(RLIMIT_NOFILE, &old);
        const int lowest = ::dup(0);
        ::close(lowest);
        const rlimit few{static_cast<rlim_t>(lowest + 2), old.rlim_max};
        ::setrlimit(RLIMIT_NOFILE, &few);
        EXPECT_THROW(runProgram("/bin/true", {}), std::runtime_error);
        ::setrlimit(RLIMIT_NOFILE, &old);
        EXPECT_EQ(openDescriptors(), before);
    }
    {
        SCOPED_TRACE("a signal every 2 ms");
        struct sigaction tick{}, previous{};
        tick.sa_handler = [](int) {};
        ::sigaction(SIGALRM, &tick, &previous); // no SA_RESTART: calls fail with EINTR
        const itimerval every{{0, 2000}, {0, 2000}};
        ::setitimer(ITIMER_REAL, &every, nullptr);
        const ProgramRun run = runProgram("/bin/sh", {"-c", "sleep 0.3; echo done; exit 4"});
        const itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::sigaction(SIGALRM, &previous, nullptr);
        EXPECT_EQ(run.exitStatus, 4);
        EXPECT_EQ(run.out, "done\n");
    }
    {
        SCOPED_TRACE("output closed, program alive");
        const auto start = std::chrono::steady_clock::now();
        const ProgramRun run =
            runProgram("/bin/sh", {"-c", "exec >&- 2>&-; sleep 30"}, {.timeout = std::chrono::seconds(1)});
        EXPECT_EQ(run.exitStatus, -1);
        EXPECT_TRUE(run.timedOut);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    EXPECT_TRUE(noChildren());
}

// The status as the shell tells it, and what the options change.
TEST(RunProgram, StatusAsTheShellTellsItWithInputEnvironmentAndLimit) {
    struct Row {
        const char* script;
        process::RunOptions options;
        int status;
        std::string out;
        bool outTruncated;
    };
    const Row rows[] = {
        {"exit 3", {}, 3, "", false},
        {"kill -9 $$", {}, 128 + SIGKILL, "", false},
        {"cat", {.input = "fed\n"}, 0, "fed\n", false},
        {"printf %s \"$X\"", {.environment = {{"X", "set"}}}, 0, "set", false},
        {"head -c 100 /dev/zero | tr '\\0' y", {.outputLimit = 10}, 0, "yyyyyyyyyy", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script);
        const ProgramRun run = runProgram("sh", {"-c", row.script}, row.options);
        EXPECT_EQ(run.exitStatus, row.status);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.outTruncated, row.outTruncated);
    }
}

TEST(WriteAll, WritesEverythingOrSaysWhyNot) {
    process::Pipe pipe;
    ASSERT_EQ(process::makePipe(pipe), 0);
    EXPECT_EQ(process::writeAll(pipe.write.get(), "whole"), 0);
    pipe.write.reset();
    char got[8] = {};
    EXPECT_EQ(::read(pipe.read.get(), got, sizeof got), 5);
    EXPECT_STREQ(got, "whole");
    EXPECT_EQ(process::writeAll(pipe.read.get(), "x"), EBADF) << "a read end";
}

} // namespace
