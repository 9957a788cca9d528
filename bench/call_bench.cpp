// SPDX-License-Identifier: Apache-2.0
// Whole calls of the real plug-in, loaded with dlopen beside the real host
// stand-in (TmHost), on a simulated machine: the time of getMPIODevices,
// isMPIODevice and getUnderlyingDevices, beside the time of the very
// pipelines they run, started bare. Two wall-clock shares of a call,
//     (call time - bare pipeline time) / call time,
// with two bare baselines: the pipelines run through the host's runner
// (TmProcess::system, which captures their output as the plug-in's calls
// do: what is left is the plug-in's own work), and the pipelines run by a
// bare posix_spawn of /bin/sh -c with the output sent to /dev/null (what is
// left then is the plug-in's work and the runner's capture together).
// Both differences carry the pipelines' scheduling noise, often larger
// than the plug-in's work; so the verdict goes by the CPU time of the
// calling thread, where the plug-in runs and the pipelines do not: the
// call's CPU time less that of the same pipelines through the runner,
// over the call's wall-clock time.
//
// Run inside mpio-sandbox, on any topology; the figures in bench/RESULTS.md
// come from generated ones (scripts/bench.sh):
//     mpio-sandbox --generate devices=10000,paths=4,partitions=3,... --output big.topo
//     mpio-sandbox --topology big.topo -- call_bench [--rounds N] [--plugin PATH]
// --rounds N   measured rounds (default 20), after 2 rounds of warm-up; in
//              each round every case runs once by each method, in an order
//              that rotates from round to round. Figures are medians.
// --plugin     the plug-in to load (default: the one built beside it).
// --only CALL  time that call alone (getMPIODevices, getMPIODevices/count,
//              isMPIODevice or getUnderlyingDevices): more rounds in the
//              same time, for a ratio that the noise moves less.
//
// Exit status 0; 1 when a call or a baseline does not give the expected
// result (a check of what was timed), 2 for a bad command line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TmHostServices.h"
#include "TmMPIO_EMCPowerPath.h"
#include "bench_common.h"
#include "mpio/loader.h"
#include "pinned_commands.h"

namespace {

// The pipelines the plug-in runs, exactly as it builds them.
using mpiotest::kPartitionListing;
using mpiotest::kPseudoListing;
using mpiotest::pathQuery;

constexpr double kShareTarget = 0.05;
// A whole call against the same pipelines run bare, output to /dev/null.
constexpr double kRatioTarget = 1.10;
constexpr int kWarmupRounds = 2;

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "call_bench: %s\n", why.c_str());
    std::exit(1);
}

long countLines(const std::string& text) {
    long lines = 0;
    std::size_t from = 0;
    for (std::size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        if (nl > from) ++lines;
    if (from < text.size()) ++lines;
    return lines;
}

// ---- The plug-in ----

using Plugin = mpio::loader::EntryPoints;

// The plug-in stays loaded for the whole run.
Plugin load(const std::string& path) {
    static mpio::loader::LoadResult loaded = mpio::loader::loadPlugin(path);
    if (!loaded.plugin) fail(mpio::loader::joinedErrors(loaded));
    return loaded.plugin->entryPoints();
}

// A caller's array of MAXMPIOPATHLEN-byte buffers.
struct PathArray {
    std::vector<std::unique_ptr<char[]>> buffers;
    std::vector<char*> pointers;
    explicit PathArray(long n) {
        for (long i = 0; i < n; ++i) {
            buffers.emplace_back(new char[MAXMPIOPATHLEN]());
            pointers.push_back(buffers.back().get());
        }
    }
    int size() const { return static_cast<int>(pointers.size()); }
};

// ---- The bare baselines ----

// The pipeline through the host's runner, as the plug-in runs it.
std::string runnerOutput(const std::string& command) {
    std::string out;
    std::string err;
    const int status = TmProcess::system(command.c_str(), &out, &err, 0, false);
    if (status != 0) fail("bare run of [" + command + "] failed: " + std::to_string(status) + " " + err);
    return out;
}

// The pipeline by /bin/sh -c, started with posix_spawn, output to /dev/null.
void shellToDevNull(const std::string& command) {
    const bench::BareRun run = bench::runBareShell(command, bench::BareOutput::DevNull);
    if (!run.ok) fail(run.why);
}

// ---- Measurement ----

struct Case {
    std::string name;
    std::function<void()> call;   // the plug-in's entry point, checked
    std::vector<std::string> pipelines; // what the call runs, in order
    std::vector<double> callMs, runnerMs, shellMs;
    std::vector<double> callCpuMs, runnerCpuMs; // CPU time of this thread
};

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of the calling thread: the plug-in and the runner's capture run
// here, the pipelines in child processes, so waiting for them is not in it.
double threadCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

} // namespace

int main(int argc, char** argv) {
    int rounds = 20;
    std::string pluginPath = CALL_BENCH_PLUGIN;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--rounds" || arg == "--plugin" || arg == "--only") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--plugin") {
                pluginPath = value;
                continue;
            }
            if (arg == "--only") {
                only = value;
                continue;
            }
            char* end = nullptr;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (*end != '\0' || n < 1 || n > 1000000) {
                std::fprintf(stderr, "call_bench: %s needs a number from 1 to 1000000\n", arg.c_str());
                return 2;
            }
            rounds = static_cast<int>(n);
        } else {
            std::fprintf(stderr, "usage: call_bench [--rounds N] [--plugin PATH] [--only CALL]\n");
            return 2;
        }
    }

    const Plugin plugin = load(pluginPath);
    int err = 0;
    char errbuf[MAXMPIOERRORLEN] = {};
    if (plugin.init(nullptr, &err, errbuf) == nullptr) fail("init failed");

    // The host's capacity negotiation: a count first, then the whole array.
    PathArray probe(1);
    int count = 0;
    const int needed = plugin.getMPIODevices(nullptr, probe.pointers.data(), &count, &err, errbuf);
    if (needed <= 0) fail("getMPIODevices found no pseudo device");
    PathArray devices(needed);
    count = devices.size();
    if (plugin.getMPIODevices(nullptr, devices.pointers.data(), &count, &err, errbuf) != 0 || count < 1)
        fail("getMPIODevices failed with room for every device");
    const long deviceCount = count;
    // The last device: the listing is read whole either way.
    const std::string device = devices.pointers[static_cast<std::size_t>(count - 1)];
    const std::string bare = device.substr(device.rfind('/') + 1);

    const long listedPseudo = countLines(runnerOutput(kPseudoListing));
    if (listedPseudo != deviceCount)
        fail("getMPIODevices stored " + std::to_string(deviceCount) + " names, the bare pipeline printed " +
             std::to_string(listedPseudo));
    const long partitionLines = countLines(runnerOutput(kPartitionListing));
    const long pathLines = countLines(runnerOutput(pathQuery(bare)));

    PathArray paths(64);
    std::vector<Case> cases;
    cases.push_back({"getMPIODevices", [&] {
                         int n = devices.size();
                         if (plugin.getMPIODevices(nullptr, devices.pointers.data(), &n, &err, errbuf) != 0 ||
                             n != deviceCount)
                             fail("getMPIODevices: unexpected result");
                     },
                     {kPseudoListing}, {}, {}, {}, {}, {}});
    // The negotiation's first call: every name counted, four stored.
    PathArray four(4);
    cases.push_back({"getMPIODevices/count", [&] {
                         int n = four.size();
                         if (plugin.getMPIODevices(nullptr, four.pointers.data(), &n, &err, errbuf) !=
                                 (needed > 4 ? needed : 0) ||
                             n != std::min<long>(4, deviceCount))
                             fail("getMPIODevices with room for four: unexpected result");
                     },
                     {kPseudoListing}, {}, {}, {}, {}, {}});
    cases.push_back({"isMPIODevice", [&] {
                         if (plugin.isMPIODevice(nullptr, device.c_str(), &err, errbuf) != 1)
                             fail("isMPIODevice(" + device + ") is not 1");
                     },
                     {kPartitionListing}, {}, {}, {}, {}, {}});
    cases.push_back({"getUnderlyingDevices", [&] {
                         int n = paths.size();
                         if (plugin.getUnderlyingDevices(nullptr, device.c_str(), paths.pointers.data(), &n,
                                                         &err, errbuf) != 0 ||
                             n != pathLines || n < 1)
                             fail("getUnderlyingDevices(" + device + "): unexpected result");
                     },
                     {kPartitionListing, pathQuery(bare)}, {}, {}, {}, {}, {}});

    if (!only.empty()) {
        std::erase_if(cases, [&only](const Case& c) { return c.name != only; });
        if (cases.empty()) {
            std::fprintf(stderr, "call_bench: no call named %s\n", only.c_str());
            return 2;
        }
    }

    // Every round runs each case once by each method; the order of the
    // runs rotates so that no method always follows the same one.
    for (int round = 0; round < kWarmupRounds + rounds; ++round) {
        const bool kept = round >= kWarmupRounds;
        std::vector<std::function<void()>> runs;
        for (Case& c : cases) {
            runs.push_back([&c, kept] {
                const double cpu = threadCpuMs();
                const auto start = Clock::now();
                c.call();
                if (kept) c.callMs.push_back(msSince(start));
                if (kept) c.callCpuMs.push_back(threadCpuMs() - cpu);
            });
            runs.push_back([&c, kept] {
                const double cpu = threadCpuMs();
                const auto start = Clock::now();
                for (const std::string& p : c.pipelines) runnerOutput(p);
                if (kept) c.runnerMs.push_back(msSince(start));
                if (kept) c.runnerCpuMs.push_back(threadCpuMs() - cpu);
            });
            runs.push_back([&c, kept] {
                const auto start = Clock::now();
                for (const std::string& p : c.pipelines) shellToDevNull(p);
                if (kept) c.shellMs.push_back(msSince(start));
            });
        }
        std::rotate(runs.begin(), runs.begin() + round % static_cast<int>(runs.size()), runs.end());
        for (auto& run : runs) run();
    }

    std::printf("machine: %ld pseudo devices, %ld emcpower lines in /proc/partitions, %ld path(s) of %s\n",
                deviceCount, partitionLines, pathLines, bare.c_str());
    std::printf("%d rounds after %d of warm-up; times in ms, median (minimum)\n\n", rounds, kWarmupRounds);
    std::printf("%-21s %17s %17s %17s %13s %13s %9s %9s  %-10s %8s  %s\n", "call", "plug-in call", "runner, bare",
                "sh, bare", "share/runner", "share/sh", "own CPU", "share", "share < 5%", "call/sh", "< 1.10x");
    bool allMet = true;
    for (const Case& c : cases) {
        const double call = bench::median(c.callMs), runner = bench::median(c.runnerMs), shell = bench::median(c.shellMs);
        const double share = (call - runner) / call;
        const double shareShell = (call - shell) / call;
        // The plug-in's own work: the CPU this thread spends in the call
        // beyond what the same pipelines through the runner cost it.
        const double ownCpu = bench::median(c.callCpuMs) - bench::median(c.runnerCpuMs);
        const double ownShare = ownCpu / call;
        const bool met = ownShare < kShareTarget;
        allMet = allMet && met;
        char callText[32], runnerText[32], shellText[32];
        std::snprintf(callText, sizeof callText, "%.3f (%.3f)", call, minimum(c.callMs));
        std::snprintf(runnerText, sizeof runnerText, "%.3f (%.3f)", runner, minimum(c.runnerMs));
        std::snprintf(shellText, sizeof shellText, "%.3f (%.3f)", shell, minimum(c.shellMs));
        const double ratio = call / shell;
        std::printf("%-21s %17s %17s %17s %12.1f%% %12.1f%% %9.3f %8.1f%%  %-10s %7.3fx  %s\n", c.name.c_str(),
                    callText, runnerText, shellText, share * 100, shareShell * 100, ownCpu, ownShare * 100,
                    met ? "met" : "MISSED", ratio, ratio < kRatioTarget ? "met" : "MISSED");
    }
    std::printf("\nshare/runner = (call - the same pipelines through TmProcess::system) / call, wall-clock\n"
                "share/sh     = (call - the same pipelines by /bin/sh -c > /dev/null) / call, wall-clock:\n"
                "               the plug-in's work and the capture of the output\n"
                "own CPU      = CPU ms of the calling thread in the call less in the same pipelines through\n"
                "               TmProcess::system (medians): the plug-in's own work, without the noise of\n"
                "               the pipelines' scheduling that the wall-clock differences carry\n"
                "share        = own CPU / call: plug-in share under 5%% of a call: %s\n"
                "call/sh      = call / the same pipelines by /bin/sh -c > /dev/null (medians, wall-clock)\n",
                allMet ? "met for every call" : "MISSED for at least one call");
    return 0;
}
