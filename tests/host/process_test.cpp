// SPDX-License-Identifier: Apache-2.0
// The process runner against real shell commands.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TmHostServices.h"
#include "caller_kit.h"
#include "private_dev.h"
#include "processes.h"
#include "tmhost/TmHost.h"

namespace {

using namespace mpiotest;

struct Outcome {
    int status;
    std::string out;
    std::string err;
    double seconds;
};

Outcome run(const std::string& command, int timeout = 0, bool merge = false) {
    Outcome o{-1, "stale output", "stale error", 0};
    const auto start = std::chrono::steady_clock::now();
    o.status = TmProcess::system(command.c_str(), &o.out, &o.err, timeout, merge);
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return o;
}

std::string seq(int from, int to) {
    std::string s;
    for (int i = from; i <= to; ++i) s += std::to_string(i) + '\n';
    return s;
}

class ProcessTest : public ::testing::Test {
protected:
    void TearDown() override { tmhost::setDefaultTimeout(0); }
};

TEST_F(ProcessTest, ResultsAndTexts) {
    struct Row {
        const char* command;
        int status;
        const char* out;
        const char* err;
        bool merge = false; // standard error into the output
    };
    const Row rows[] = {
        {"exit 0", 0, "", ""},
        {"echo out", 0, "out\n", ""},
        {"echo noise >&2", 0, "", "noise\n"},
        {"false", 1, "", "exit status 1"},
        {"exit 3", 3, "", "exit status 3"},
        {"exit 255", 255, "", "exit status 255"},
        {"echo partial; echo oops >&2; exit 4", 4, "partial\n", "oops\n"},
        {"kill -KILL $$", tmhost::kKilledBySignal + 9, "", "killed by signal 9 (Killed)"},
        {"kill -TERM $$", tmhost::kKilledBySignal + 15, "", "killed by signal 15 (Terminated)"},
        {"printf '%s|%d%%' 'a%b' 7", 0, "a%b|7%", ""},
        {"cat; read x; echo \"read $?\"", 0, "read 1\n", ""}, // standard input is empty
        {"exec ls /proc/self/fd", 0, "0\n1\n2\n3\n", ""}, // nothing inherited; 3 is ls's own
        {"-c", 127, "", "sh: 1: -c: not found\n"},             // the text is the command
        {"echo one; echo two >&2; echo three", 0, "one\ntwo\nthree\n", "", true},
        {"echo bad >&2; exit 5", 5, "bad\n", "exit status 5", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.command);
        const Outcome o = run(r.command, 10, r.merge); // a run that would hang fails instead
        EXPECT_EQ(o.status, r.status);
        EXPECT_EQ(o.out, r.out);
        EXPECT_EQ(o.err, r.err);
    }
}

TEST_F(ProcessTest, MissingCommandGivesTheShellsStatusAndMessage) {
    const Outcome o = run("tmhost_no_such_command --flag");
    EXPECT_EQ(o.status, 127);
    EXPECT_NE(o.err.find("tmhost_no_such_command"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("not found"), std::string::npos) << o.err;
}

TEST_F(ProcessTest, BothStreamsCarryMegabytesAtOnce) {
    // About 20 MB on each stream, written concurrently by two processes.
    const int n = 2800000;
    const std::string command = "seq 1 " + std::to_string(n) + " & seq " + std::to_string(n + 1) +
                                " " + std::to_string(2 * n) + " >&2; wait";
    const Outcome o = run(command);
    ASSERT_EQ(o.status, 0);
    EXPECT_GT(o.out.size(), 20u << 20);
    EXPECT_TRUE(o.out == seq(1, n)) << "stdout differs, " << o.out.size() << " bytes";
    EXPECT_TRUE(o.err == seq(n + 1, 2 * n)) << "stderr differs, " << o.err.size() << " bytes";
}

// Runs body in a child process of its own (a death test), where it may
// break the process on purpose; the child's exit code comes back (77: the
// breakage is not possible here). Any other code than 0 or 77 also shows
// what the child wrote to standard error.
int inChild(int (*body)()) {
    int code = -1;
    EXPECT_EXIT(::_exit(body()),
                [&code](int status) {
                    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                    return code == 0 || code == 77;
                },
                "");
    return code;
}

int expectFailure(int status, const char* text) {
    std::string out = "stale", err;
    const int result = TmProcess::system("echo never", &out, &err, 0, false);
    if (result == status && err == text && out.empty()) return 0;
    std::fprintf(stderr, "result %d, output [%s], error [%s]\n", result, out.c_str(), err.c_str());
    return 1;
}

TEST_F(ProcessTest, ShellThatCannotStartIsReported) {
    const int code = inChild([] {
        if (!hideUnderEmptyTmpfs("/bin").empty()) return 77;
        return expectFailure(tmhost::kSpawnFailed,
                             "could not start /bin/sh: No such file or directory");
    });
    if (code == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(code, 0);
}

TEST_F(ProcessTest, PipeThatCannotBeMadeIsReported) {
    EXPECT_EQ(inChild([] {
                  const rlimit few{32, 32};
                  ::setrlimit(RLIMIT_NOFILE, &few);
                  const int any = ::open("/", O_RDONLY | O_DIRECTORY);
                  while (::dup(any) >= 0) {
                  }
                  return expectFailure(tmhost::kCaptureFailed,
                                       "could not create a pipe: Too many open files");
              }),
              0);
}

TEST_F(ProcessTest, NullPointersAndOneStringForBothStreams) {
    std::string nothing = "x", why;
    EXPECT_EQ(TmProcess::system(nullptr, &nothing, &why, 0, false), tmhost::kSpawnFailed);
    EXPECT_EQ(nothing, "");
    EXPECT_EQ(why, "no command given");
    std::string both = "stale";
    EXPECT_EQ(TmProcess::system("echo a; echo b >&2; exit 6", &both, &both, 0, false), 6);
    EXPECT_EQ(both, "a\nb\n");
    // Null pointers discard their stream.
    const char* command = "echo o; echo e >&2; exit 2";
    std::string out, err;
    EXPECT_EQ(TmProcess::system(command, nullptr, &err, 0, false), 2);
    EXPECT_EQ(err, "e\n");
    EXPECT_EQ(TmProcess::system(command, &out, nullptr, 0, false), 2);
    EXPECT_EQ(out, "o\n");
    EXPECT_EQ(TmProcess::system(command, nullptr, nullptr, 0, true), 2);
    // Discarded streams are still drained, so a big writer cannot stall.
    EXPECT_EQ(TmProcess::system("head -c 8000000 /dev/zero; head -c 8000000 /dev/zero >&2",
                                nullptr, nullptr, 0, false),
              0);
}

TEST_F(ProcessTest, ShellStartsWithDefaultSignalsAndEmptyMask) {
    // A host that ignores SIGPIPE and blocks SIGTERM must not pass that on.
    struct sigaction ignore{}, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    sigset_t block, oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &block, &oldMask);

    const Outcome pipeline = run("yes | head -n 2");
    const Outcome term = run("kill -TERM $$; exit 0");
    const Outcome group = run("set -- $(cat /proc/$$/stat); test \"$5\" = \"$$\"");

    ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    ::sigaction(SIGPIPE, &previous, nullptr);

    EXPECT_EQ(pipeline.status, 0);
    EXPECT_EQ(pipeline.out, "y\ny\n");
    EXPECT_EQ(pipeline.err, "") << "SIGPIPE was inherited as ignored";
    EXPECT_EQ(term.status, tmhost::kKilledBySignal + SIGTERM) << "signal mask was inherited";
    EXPECT_EQ(group.status, 0) << "the shell does not lead a process group of its own";
}

TEST_F(ProcessTest, LostExitStatusIsReportedNotGuessed) {
    struct sigaction ignore{}, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ignore, &previous); // the kernel reaps children itself
    const Outcome o = run("echo done; exit 3", 10);
    ::sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_EQ(o.status, tmhost::kCaptureFailed);
    EXPECT_EQ(o.out, "done\n");
    EXPECT_NE(o.err.find("exit status lost"), std::string::npos) << o.err;
    EXPECT_LT(o.seconds, 5.0);
}

TEST_F(ProcessTest, EscapedProcessHoldingThePipesDoesNotHangTheRun) {
    // setsid moves the sleeper out of the group, so the kill misses it.
    const Outcome o = run("setsid sleep 30 & echo $!", 1);
    EXPECT_EQ(o.status, tmhost::kTimedOut);
    EXPECT_LT(o.seconds, 1.0 + tmhost::kDrainAfterKillMs / 1000.0 + 2.0);
    const pid_t escaped = std::stoi(o.out);
    std::ifstream comm("/proc/" + std::to_string(escaped) + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "sleep") ::kill(escaped, SIGKILL);
    EXPECT_TRUE(noChildren());
}

TEST_F(ProcessTest, DefaultAndOwnTimeouts) {
    tmhost::setDefaultTimeout(-4);
    EXPECT_EQ(tmhost::defaultTimeout(), 0);
    tmhost::setDefaultTimeout(1);
    EXPECT_EQ(tmhost::defaultTimeout(), 1);

    struct Row {
        const char* command;
        int timeout;
        int status;
    };
    const Row rows[] = {
        {"echo $$; sleep 100 | sleep 100", 0, tmhost::kTimedOut}, // the default, for the whole pipeline
        {"sleep 1.5", 3, 0},                 // its own limit wins
        {"sleep 1.5", -1, 0},                // explicitly none
        {"exit 7", 0, 7},
        {"exit 7", 30, 7}, // does not wait for its limit
        {"exec >&- 2>&-; sleep 100", 0, tmhost::kTimedOut}, // output closed, shell alive
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.command) + " timeout " + std::to_string(r.timeout));
        const Outcome o = run(r.command, r.timeout);
        EXPECT_EQ(o.status, r.status);
        EXPECT_LT(o.seconds, 4.0);
        if (r.status != tmhost::kTimedOut) continue;
        EXPECT_EQ(o.err, "timed out after 1 s; process group killed");
        EXPECT_GE(o.seconds, 0.9);
        // The killed processes are orphans: they may linger as zombies for a
        // moment, until init reaps them, but none of the group may still run.
        if (const pid_t group = std::atoi(o.out.c_str()); group > 0) {
            EXPECT_TRUE(eventually([&] { return !groupRuns(group); }, std::chrono::seconds(2)));
        }
    }
    EXPECT_TRUE(noChildren());
}

TEST_F(ProcessTest, RunsLeakNoDescriptorAndNoZombie) {
    const int before = openDescriptors();
    const char* commands[] = {"true", "exit 9", "echo x; echo y >&2", "tmhost_no_such_command",
                              "kill -KILL $$", "exec 3>&1; echo via3 >&3"};
    for (int i = 0; i < 30; ++i)
        for (const char* c : commands) {
            std::string out, err;
            TmProcess::system(c, &out, &err, 0, i % 2 == 1);
        }
    EXPECT_EQ(run("sleep 100", 1).status, tmhost::kTimedOut);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_TRUE(noChildren());
}

TEST_F(ProcessTest, ConcurrentRunsStayApart) {
    constexpr int kThreads = 8, kRuns = 20;
    std::vector<std::vector<std::string>> faults(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &faults] {
            for (int i = 0; i < kRuns; ++i) {
                const std::string id = std::to_string(t) + "-" + std::to_string(i);
                const std::string command = "printf out" + id + "; printf err" + id +
                                            " >&2; exit " + std::to_string((t + i) % 7);
                std::string out, err;
                const int status = TmProcess::system(command.c_str(), &out, &err, 10, false);
                if (status != (t + i) % 7 || out != "out" + id || err != "err" + id)
                    faults[t].push_back(id + ": " + std::to_string(status) + " [" + out + "] [" +
                                        err + "]");
            }
        });
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_TRUE(faults[t].empty()) << faults[t].size() << " faults, first " << faults[t][0];
    EXPECT_TRUE(noChildren());
}

} // namespace
