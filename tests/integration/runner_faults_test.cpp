// SPDX-License-Identifier: Apache-2.0
// Faults of the process runner as the plug-in sees them: a powermt that
// fails, dies, hangs, floods or is missing, and a shell that cannot start.
// The runner itself is the oracle for its codes and texts (TmProcess::system
// on the same command line); the plug-in must hand them on as its entry
// points say, and the host must never hang or leak.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>

#include "TmHostServices.h"
#include "stub_machine.h"
#include "tmhost/TmHost.h"

namespace integration {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// What powermt prints for a device with one active and one standby path.
const char* const kDisplay =
    "echo 'Pseudo name=emcpowera'; echo 'Pseudo name=emcpowerb'\n"
    "echo '   0 qla2xxx   sdb   FA  7eA   active  alive   0  0'\n"
    "echo '   1 lpfc      sdc   FA  8eA   standby alive   0  0'\n";

class RunnerFaults : public ::testing::Test {
protected:
    void SetUp() override { tmhost::setDefaultTimeout(1); }
    void TearDown() override { tmhost::setDefaultTimeout(0); }
    StubMachine machine;
};

// A powermt that fails or does not exist, as refreshMPIO and deleteMPIODevice
// see it: each runs powermt directly, so its status is the run's result.
TEST_F(RunnerFaults, DirectCommandsHandOnTheRunnersCodeAndText) {
    struct Row {
        const char* what;
        std::string stub; // empty: no powermt on PATH
        std::optional<int> code; // as the runner must give it, where it is fixed
        bool hostIgnoresChildren = false; // SIGCHLD set to SIG_IGN around the calls
    };
    const Row rows[] = {
        {"exits 3 with a text", "echo 'array said no' >&2; exit 3", 3},
        {"exits 3 silently", "exit 3", 3},
        {"dies by a signal", "kill -KILL $$", std::nullopt},
        {"hangs past the timeout", "sleep 30", tmhost::kTimedOut},
        {"leaves a child holding its output", "sleep 30 & exit 0", tmhost::kTimedOut},
        {"floods standard error", "awk 'BEGIN { while (n++ < 5242880) printf \"e\" }' >&2; exit 1", 1},
        {"is not found", "", 127},
        {"succeeds silently", "exit 0", 0},
        // The kernel then reaps the shell itself, and its status is lost.
        {"succeeds, in a host that ignores SIGCHLD", "exit 0", tmhost::kCaptureFailed, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        machine.powermtOrNone(r.stub);
        struct sigaction hostChildren {};
        if (r.hostIgnoresChildren) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            ::sigaction(SIGCHLD, &ignore, &hostChildren);
        }
        std::string runnerOut, runnerText;
        const int runnerCode = TmProcess::system("powermt config", &runnerOut, &runnerText, 0, false);
        if (r.code) {
            EXPECT_EQ(runnerCode, *r.code) << runnerText;
        }
        EXPECT_TRUE(runnerCode == 0 || !runnerText.empty()) << "a failure without a text";

        auto expectReported = [&](int result, const ErrorOut& out) {
            EXPECT_EQ(result, runnerCode);
            if (runnerCode == 0) {
                EXPECT_TRUE(out.untouched());
            } else {
                EXPECT_TRUE(holds(out, runnerCode, runnerText.substr(0, MAXMPIOERRORLEN - 1)));
            }
        };
        auto start = Clock::now();
        ErrorOut refresh;
        expectReported(refreshMPIO(nullptr, &refresh.err, refresh.errbuf()), refresh);
        EXPECT_LT(secondsSince(start), 3.0);

        // The removal, the release and the save all fail alike; the save's
        // result is returned and its status and text remain.
        start = Clock::now();
        ErrorOut removal;
        expectReported(deleteMPIODevice(nullptr, "emcpowera", &removal.err, removal.errbuf()), removal);
        EXPECT_LT(secondsSince(start), 7.0);
        if (r.hostIgnoresChildren) ::sigaction(SIGCHLD, &hostChildren, nullptr);
    }
}

// getMPIODevices and getUnderlyingDevices run powermt into a filter: a
// powermt that fails, dies or is missing fails the call with its status and
// its text, whatever the filter made of its output; one that answers,
// nothing included, is read through the filter, whatever the layout of its
// path lines.
TEST_F(RunnerFaults, PipelinesReportTheRunAndParseWhatCameOut) {
    ASSERT_TRUE(stubPseudoDevice());
    struct Row {
        const char* what;
        std::string stub; // empty: no powermt on PATH
        int code;         // the run's result: 0 or the runner's code
        std::vector<std::string> devices, paths;
        std::optional<std::string> text = {}; // of a failure; none: the shell's own words
    };
    const std::vector<std::string> both = {"/dev/emcpowera", "/dev/emcpowerb"};
    // kDisplay, then path lines written by printf (so \b is a backspace).
    auto displayWith = [](const char* lines) { return std::string(kDisplay) + "printf '" + lines + "'\n"; };
    const Row rows[] = {
        {"answers", kDisplay, 0, both, {"/dev/sdb"}},
        {"answers, then exits 3 with a text", std::string(kDisplay) + "echo broken >&2; exit 3", 3, {}, {},
         "broken\n"},
        {"dies by a signal before answering", "kill -KILL $$", 128 + SIGKILL, {}, {}},
        {"prints nothing", "exit 0", 0, {}, {}},
        {"is not found", "", 127, {}, {}},
        // Bytes that are no text in a UTF-8 locale: a NUL, then a Latin-1 port.
        {"prints a NUL and Latin-1 bytes",
         "printf 'banner\\000\\n'\n" + displayWith("   2 qla2xxx   sdd   SP \\351A0   active  alive   0  0\\n"), 0,
         both, {"/dev/sdb", "/dev/sdd"}},
        {"PowerPath 4 on RHEL 4: blanks in the HW Path",
         displayWith("  2 QLogic Fibre Channel 2300 sdd        SP A1     active  alive      0      0\\n"
                     "  3 QLogic Fibre Channel 2300 sde        SP B1     passive dead       0      0\\n"),
         0, both, {"/dev/sdb", "/dev/sdd", "/dev/sde"}},
        {"PowerPath 5 and 6: an Interf. of one word and of two",
         displayWith("   3 lpfc                      sdd       SP-A      active  alive      0      0\\n"
                     "   4 qla2xxx                   sde       FA  9dB   active  dead       0      0\\n"),
         0, both, {"/dev/sdb", "/dev/sdd", "/dev/sde"}},
        {"active and passive outside the Mode column",
         displayWith("   5 proactive                 sdd       FA  9dB   standby alive      0      0\\n"
                     "   6 qla2xxx                   sde       passive   unlic   alive      0      0\\n"),
         0, both, {"/dev/sdb"}},
        {"garbage: no sd name in the path column, a line cut short",
         displayWith("   7 qla2xxx   sd\\b\\b   FA  9dB   active  alive  0  0\\n   8 qla2xxx   sdf   active\\n"), 0,
         both, {"/dev/sdb"}},
        {"hangs past the timeout", std::string(kDisplay) + "sleep 30", tmhost::kTimedOut, {}, {},
         "timed out after 1 s; process group killed"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        machine.powermtOrNone(r.stub);

        PathArray array(4);
        char** buffers = array.data();
        // One call with room for four: a failed run leaves the count alone and
        // reports the run; a good one stores what came out and reports nothing.
        const auto expectOutcome = [&](const auto& call, const std::vector<std::string>& expected) {
            int count = 4;
            ErrorOut out;
            const auto start = Clock::now();
            const int result = call(&count, out);
            EXPECT_LT(secondsSince(start), 3.0);
            if (r.code != 0) {
                EXPECT_EQ(result, -r.code);
                EXPECT_EQ(count, 4);
                if (r.text) {
                    EXPECT_TRUE(holds(out, r.code, *r.text));
                } else {
                    EXPECT_EQ(out.err, r.code);
                    EXPECT_NE(out.text(), "");
                    EXPECT_TRUE(out.zeroFilledAfterText());
                }
            } else {
                EXPECT_EQ(result, 0);
                ASSERT_EQ(count, static_cast<int>(expected.size()));
                for (int i = 0; i < count; ++i) EXPECT_EQ(std::string(buffers[i]), expected[i]);
                EXPECT_TRUE(out.untouched());
            }
        };
        expectOutcome([&](int* count, ErrorOut& out) {
            return getMPIODevices(nullptr, buffers, count, &out.err, out.errbuf());
        }, r.devices);
        expectOutcome([&](int* count, ErrorOut& out) {
            return getUnderlyingDevices(nullptr, "/dev/emcpowera", buffers, count, &out.err, out.errbuf());
        }, r.paths);
    }
}

TEST_F(RunnerFaults, MegabytesOfNamesAreCountedInFull) {
    tmhost::setDefaultTimeout(120); // a bound, not a test of speed
    ASSERT_TRUE(stubPseudoDevice());
    // 1.9 million names (53 MB of powermt output), and 300,000 path lines.
    constexpr int kNames = 1900000, kPaths = 300000;
    machine.powermt("case \"$*\" in\n"
                    "'display dev=all') awk 'BEGIN { for (i = 0; i < " + std::to_string(kNames) +
                    "; i++) printf \"Pseudo name=emcpower%07d\\n\", i }' ;;\n"
                    // Path i is sd followed by i in four letters: sdaaaa, sdaaab, ...
                    "*) awk 'BEGIN { a = \"abcdefghijklmnopqrstuvwxyz\"; for (i = 0; i < " + std::to_string(kPaths) +
                    "; i++) printf \"   %d qla2xxx   sd%s%s%s%s   FA  7eA   active  alive   0  0\\n\", i, "
                    "substr(a, int(i / 17576) % 26 + 1, 1), substr(a, int(i / 676) % 26 + 1, 1), "
                    "substr(a, int(i / 26) % 26 + 1, 1), substr(a, i % 26 + 1, 1) }' ;;\n"
                    "esac");
    constexpr int kCapacity = 3;
    PathArray array(kCapacity);
    char** buffers = array.data();
    char name[32];

    int count = kCapacity;
    ErrorOut listing;
    // Each name ends in a newline: one segment more than names.
    EXPECT_EQ(getMPIODevices(nullptr, buffers, &count, &listing.err, listing.errbuf()), kNames + 1);
    EXPECT_EQ(count, kCapacity);
    for (int i = 0; i < kCapacity; ++i) {
        std::snprintf(name, sizeof name, "/dev/emcpower%07d", i);
        EXPECT_STREQ(buffers[i], name);
    }
    EXPECT_TRUE(listing.untouched());

    count = kCapacity;
    ErrorOut paths;
    EXPECT_EQ(getUnderlyingDevices(nullptr, "/dev/emcpowera", buffers, &count, &paths.err, paths.errbuf()), kPaths);
    EXPECT_EQ(count, kCapacity);
    for (int i = 0; i < kCapacity; ++i) {
        std::snprintf(name, sizeof name, "/dev/sdaaa%c", 'a' + i);
        EXPECT_STREQ(buffers[i], name);
    }
    EXPECT_TRUE(paths.untouched());
}

// What every entry point answers, a line each, when /bin is hidden under an
// empty tmpfs in a mount namespace of this process; written to standard
// error, where the death test below reads it.
void reportEntryPointsWithoutAShell() {
    if (!hideUnderEmptyTmpfs("/bin").empty()) ::_exit(77);
    std::ostringstream report;
    auto line = [&](const char* what, int result, const ErrorOut& out) {
        report << what << ' ' << result << ' ' << (out.untouched() ? "untouched" : std::to_string(out.err)) << ' '
               << (out.untouched() ? "" : out.errbuf()) << '\n';
    };
    PathArray array(1);
    char** buffers = array.data();
    int count = 1;
    ErrorOut a, b, c, d, e, f;
    line("getMPIODevices", getMPIODevices(nullptr, buffers, &count, &a.err, a.errbuf()), a);
    line("refreshMPIO", refreshMPIO(nullptr, &b.err, b.errbuf()), b);
    line("deleteMPIODevice", deleteMPIODevice(nullptr, "emcpowera", &c.err, c.errbuf()), c);
    line("getUnderlyingDevices", getUnderlyingDevices(nullptr, "/dev/emcpowera", buffers, &count, &d.err, d.errbuf()), d);
    line("isMPIODevice", isMPIODevice(nullptr, "/dev/emcpowera", &e.err, e.errbuf()), e);
    line("init", init(nullptr, &f.err, f.errbuf()) == nullptr ? 0 : 1, f);
    std::fputs(report.str().c_str(), stderr);
    std::exit(0);
}

// text as a POSIX extended regular expression that matches it literally.
std::string literally(const std::string& text) {
    std::string pattern;
    for (char ch : text) {
        if (std::strchr(".[]{}()*+?^$|\\", ch)) pattern += '\\';
        pattern += ch;
    }
    return pattern;
}

// The shell itself cannot be started: hidden in a mount namespace of the
// death test's child, which reports what every entry point answered.
TEST_F(RunnerFaults, ShellThatCannotStart) {
    ASSERT_TRUE(stubPseudoDevice());
    const std::string c = std::to_string(tmhost::kSpawnFailed);
    const std::string why = std::string("could not start /bin/sh: ") + std::strerror(ENOENT);
    const std::string expected = "getMPIODevices -" + c + " " + c + " " + why + "\n" +
                                 "refreshMPIO " + c + " " + c + " " + why + "\n" +
                                 "deleteMPIODevice " + c + " " + c + " " + why + "\n" +
                                 // The listing behind the lookup cannot run, so nothing is a pseudo device.
                                 "getUnderlyingDevices -6 untouched \n"
                                 "isMPIODevice 0 untouched \n"
                                 "init 0 untouched \n";
    EXPECT_EXIT(reportEntryPointsWithoutAShell(), ::testing::ExitedWithCode(0), "^" + literally(expected) + "$");
}

TEST_F(RunnerFaults, ThousandsOfCallsLeaveNoDescriptorAndNoChild) {
    ASSERT_TRUE(stubPseudoDevice());
    machine.powermt(std::string("case \"$STUB_MODE\" in\n"
                                "fail) echo 'no array' >&2; exit 4 ;;\n"
                                "signal) kill -TERM $$ ;;\n"
                                "*) ") + kDisplay + " ;;\nesac");
    const int before = openDescriptors();
    const char* const modes[] = {"answer", "fail", "signal"};
    PathArray array(2);
    char** buffers = array.data();
    int failures = 0;
    for (int i = 0; i < 1500; ++i) {
        ::setenv("STUB_MODE", modes[i % 3], 1);
        ErrorOut out;
        int count = 2;
        switch (i % 5) {
        case 0: failures += refreshMPIO(nullptr, &out.err, out.errbuf()) != 0; break;
        case 1: failures += deleteMPIODevice(nullptr, "emcpowera", &out.err, out.errbuf()) != 0; break;
        case 2: getMPIODevices(nullptr, buffers, &count, &out.err, out.errbuf()); break;
        case 3: getUnderlyingDevices(nullptr, "/dev/emcpowera", buffers, &count, &out.err, out.errbuf()); break;
        case 4: isMPIODevice(nullptr, "/dev/emcpowera", &out.err, out.errbuf()); break;
        }
    }
    ::unsetenv("STUB_MODE");
    // Two thirds of the 600 refreshes and removals failed, as the stub said.
    EXPECT_EQ(failures, 400);
    machine.powermt("sleep 30");
    ErrorOut hung;
    EXPECT_EQ(refreshMPIO(nullptr, &hung.err, hung.errbuf()), tmhost::kTimedOut);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(childrenLeft(), std::vector<std::string>{});
}

} // namespace
} // namespace integration
