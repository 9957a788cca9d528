// SPDX-License-Identifier: Apache-2.0
// The host's process runner (TmProcess::system, over lib/process) beside a
// bare start of the same command line (bench_common), per call:
//   BM_Runner     TmProcess::system(command, &out, &err, 0, false)
//   BM_BarePipe   /bin/sh -c command started bare, its standard output read
//                 through one pipe into a string, then waitpid: the least a
//                 capturing runner must do
//   BM_BareNull   /bin/sh -c command started bare, its output to /dev/null,
//                 then waitpid: no capture at all
// Times are wall-clock (the work is in the child processes). After the run
// the program prints, per command, the runner's overhead over each bare
// start, from the medians over the repetitions.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <optional>
#include <string>

#include "TmHostServices.h"
#include "bench_common.h"
#include "bench_summary.h"

namespace {

void BM_Runner(benchmark::State& state, const char* command) {
    std::string out;
    std::string err;
    for (auto _ : state) {
        if (TmProcess::system(command, &out, &err, 0, false) != 0) {
            state.SkipWithError("the runner reported a failure");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_Bare(benchmark::State& state, const char* command, bench::BareOutput output) {
    for (auto _ : state) {
        const bench::BareRun run = bench::runBareShell(command, output);
        if (!run.ok) {
            state.SkipWithError(run.why.c_str());
            break;
        }
        benchmark::DoNotOptimize(run.kept.data());
    }
}

void BM_BarePipe(benchmark::State& state, const char* command) { BM_Bare(state, command, bench::BareOutput::Keep); }

void BM_BareNull(benchmark::State& state, const char* command) {
    BM_Bare(state, command, bench::BareOutput::DevNull);
}

// The commands, by the names the benchmarks carry.
struct Command {
    const char* name;
    const char* line;
};
constexpr Command kCommands[] = {
    {"true", "true"},
    {"echo", "echo x"},
    {"pipeline", "echo x | grep x | awk '{print $1}'"},
};

void registerAll() {
    for (const Command& c : kCommands) {
        const std::string suffix = std::string("/") + c.name;
        benchmark::RegisterBenchmark(("BM_Runner" + suffix).c_str(), BM_Runner, c.line)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("BM_BarePipe" + suffix).c_str(), BM_BarePipe, c.line)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("BM_BareNull" + suffix).c_str(), BM_BareNull, c.line)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
    }
}

void printSummary(const benchsummary::Reporter& reporter) {
    const auto entries = reporter.entries();
    // Median in microseconds, or nothing when the benchmark did not run.
    auto median = [&](const std::string& family, const std::string& name) -> std::optional<double> {
        for (const auto& e : entries)
            if (e.family == family && e.args == name) return e.median / 1e3;
        return std::nullopt;
    };
    std::printf("\nPer call, median wall-clock time over the repetitions, in microseconds\n");
    std::printf("%-10s %-38s %9s %9s %9s %22s %22s\n", "command", "line", "runner", "bare pipe",
                "bare null", "runner - bare pipe", "runner - bare null");
    for (const Command& c : kCommands) {
        const auto r = median("BM_Runner", c.name);
        const auto p = median("BM_BarePipe", c.name);
        const auto n = median("BM_BareNull", c.name);
        if (!r || !p || !n) continue;
        std::printf("%-10s %-38s %9.1f %9.1f %9.1f %11.1f (%+6.1f%%) %11.1f (%+6.1f%%)\n", c.name, c.line, *r,
                    *p, *n, *r - *p, (*r - *p) / *p * 100, *r - *n, (*r - *n) / *n * 100);
    }
}

} // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchsummary::Reporter reporter(benchsummary::realNanoseconds);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printSummary(reporter);
    return 0;
}
