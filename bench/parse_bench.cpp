// SPDX-License-Identifier: Apache-2.0
// Cost of the plug-in's own parsing, per line of command output, for hosts
// of 100 to 100,000 pseudo devices with 3 partitions each. The fake host
// hands over prepared output, so what is timed is the plug-in's work (and
// one copy of the output into the caller's string, as any runner makes).
//
// After the run it prints, per series, the cost per line at the smallest
// and the largest size and their ratio; the target is at most 1.5x.
// BM_CallerBufferFill is no plug-in code: it only zero-fills the caller's
// MAXMPIOPATHLEN-byte buffers that getMPIODevices must fill, the floor of
// that call's cost, so that the summary can tell the plug-in's parsing from
// the memory traffic the contract itself asks for.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TmMPIO_EMCPowerPath.h"
#include "bench_summary.h"
#include "fake_host.h"
#include "inventory/listing.h"
#include "partitions/partitions_internal.h"
#include "pinned_commands.h"

using namespace tmmpio;

namespace {

// The pipelines the plug-in runs, exactly as it builds them.
using mpiotest::fakeHost;
using mpiotest::kPartitionListing;
using mpiotest::kPseudoListing;

constexpr int kPartitionsPerDevice = 3;

// What the listing pipeline prints for n devices: each whole device and its
// partitions, in the kernel's order.
std::string partitionListing(long n) {
    std::string out;
    for (long i = 0; i < n; ++i) {
        const std::string name = "emcpower" + getAAName(i);
        const long minor = i * 16;
        out += "120 " + std::to_string(minor) + " " + name + "\n";
        for (int p = 1; p <= kPartitionsPerDevice; ++p)
            out += "120 " + std::to_string(minor + p) + " " + name + std::to_string(p) + "\n";
    }
    return out;
}

std::string pseudoNames(long n) {
    std::string out;
    for (long i = 0; i < n; ++i) out += "emcpower" + getAAName(i) + "\n";
    return out;
}

void perLine(benchmark::State& state, long lines) {
    state.SetItemsProcessed(state.iterations() * lines);
    state.counters["lines"] = static_cast<double>(lines);
    // Seconds per line, shown by Google Benchmark in its own units.
    state.counters["per_line"] = benchmark::Counter(static_cast<double>(state.iterations() * lines),
                                                    benchmark::Counter::kIsRate |
                                                        benchmark::Counter::kInvert);
}

void BM_PartitionListing(benchmark::State& state) {
    const long n = state.range(0);
    fakeHost.reset();
    fakeHost.answer(kPartitionListing, {0, partitionListing(n), ""});
    for (auto _ : state) {
        MpDevMap devices;
        benchmark::DoNotOptimize(listMPIODevices(devices));
        benchmark::DoNotOptimize(devices.size());
    }
    perLine(state, n * (1 + kPartitionsPerDevice));
}

// The lookup behind isMPIODevice and getUnderlyingDevices: the listing
// walked for the key of the last partition, the worst case.
void BM_ListedDeviceLookup(benchmark::State& state) {
    const long n = state.range(0);
    fakeHost.reset();
    fakeHost.answer(kPartitionListing, {0, partitionListing(n), ""});
    const MpDev last(120, static_cast<int>((n - 1) * 16 + kPartitionsPerDevice));
    const std::string expected = "emcpower" + getAAName(n - 1) + std::to_string(kPartitionsPerDevice);
    for (auto _ : state) {
        std::string name;
        if (findListedDevice(last, name) != 1 || name != expected)
            state.SkipWithError("the lookup missed the last partition");
        benchmark::DoNotOptimize(name.data());
    }
    perLine(state, n * (1 + kPartitionsPerDevice));
}

// A caller's array of n separately allocated MAXMPIOPATHLEN-byte buffers.
struct CallerArray {
    std::vector<std::unique_ptr<char[]>> buffers;
    std::vector<char*> pointers;
    explicit CallerArray(long n) {
        for (long i = 0; i < n; ++i) {
            buffers.emplace_back(new char[MAXMPIOPATHLEN]);
            pointers.push_back(buffers.back().get());
        }
    }
};

void BM_PseudoDeviceListing(benchmark::State& state) {
    const long n = state.range(0);
    fakeHost.reset();
    fakeHost.answer(kPseudoListing, {0, pseudoNames(n), ""});
    CallerArray array(n);
    int err = 0;
    char errbuf[MAXMPIOERRORLEN];
    for (auto _ : state) {
        int count = static_cast<int>(n);
        benchmark::DoNotOptimize(getMPIODevices(nullptr, array.pointers.data(), &count, &err, errbuf));
        if (count != n) state.SkipWithError("getMPIODevices stored fewer names than listed");
    }
    perLine(state, n);
}

// No plug-in code: only the zero-filling of every buffer that
// BM_PseudoDeviceListing's call must write, in the same array.
void BM_CallerBufferFill(benchmark::State& state) {
    const long n = state.range(0);
    CallerArray array(n);
    for (auto _ : state) {
        for (char* buffer : array.pointers) std::memset(buffer, 0, MAXMPIOPATHLEN);
        benchmark::ClobberMemory();
    }
    perLine(state, n);
}

// The first call of a capacity negotiation: a small array, every name
// counted but only four stored.
void BM_PseudoDeviceCounting(benchmark::State& state) {
    const long n = state.range(0);
    fakeHost.reset();
    fakeHost.answer(kPseudoListing, {0, pseudoNames(n), ""});
    char buffers[4][MAXMPIOPATHLEN];
    char* pointers[4] = {buffers[0], buffers[1], buffers[2], buffers[3]};
    int err = 0;
    char errbuf[MAXMPIOERRORLEN];
    for (auto _ : state) {
        int count = 4;
        benchmark::DoNotOptimize(getMPIODevices(nullptr, pointers, &count, &err, errbuf));
    }
    perLine(state, n);
}

} // namespace

BENCHMARK(BM_PseudoDeviceCounting)->RangeMultiplier(10)->Range(100, 100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PartitionListing)->RangeMultiplier(10)->Range(100, 100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListedDeviceLookup)->RangeMultiplier(10)->Range(100, 100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PseudoDeviceListing)->RangeMultiplier(10)->Range(100, 100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CallerBufferFill)->RangeMultiplier(10)->Range(100, 100000)->Unit(benchmark::kMillisecond);

namespace {

constexpr double kFlatTarget = 1.5;

void printSummary(const benchsummary::Reporter& reporter) {
    std::printf("\nCost per line, median over the repetitions (target: largest/smallest <= %.1f)\n",
                kFlatTarget);
    std::printf("%-26s %12s %12s %8s  %s\n", "series", "smallest", "largest", "ratio", "verdict");
    for (const char* family : {"BM_PseudoDeviceCounting", "BM_PartitionListing", "BM_ListedDeviceLookup",
                               "BM_PseudoDeviceListing", "BM_CallerBufferFill"}) {
        const auto series = reporter.series(family);
        if (series.size() < 2) continue;
        const auto& small = series.front();
        const auto& large = series.back();
        const double ratio = large.median / small.median;
        const bool plugin = std::strcmp(family, "BM_CallerBufferFill") != 0;
        std::printf("%-26s %9.1f ns %9.1f ns %7.2fx  %s (devices %s to %s)\n", family,
                    small.median * 1e9, large.median * 1e9, ratio,
                    !plugin ? "floor, not plug-in code"
                    : ratio <= kFlatTarget ? "met"
                                           : "MISSED",
                    small.args.c_str(), large.args.c_str());
    }
    // getMPIODevices less the zero-filling the contract requires of it.
    const auto listing = reporter.series("BM_PseudoDeviceListing");
    const auto fill = reporter.series("BM_CallerBufferFill");
    if (listing.size() >= 2 && listing.size() == fill.size()) {
        std::printf("\ngetMPIODevices per line, less the zero-fill of its caller's buffers:\n");
        for (std::size_t i = 0; i < listing.size(); ++i)
            std::printf("  %7s devices: %7.1f ns - %7.1f ns fill = %7.1f ns\n", listing[i].args.c_str(),
                        listing[i].median * 1e9, fill[i].median * 1e9,
                        (listing[i].median - fill[i].median) * 1e9);
        const double first = listing.front().median - fill.front().median;
        const double last = listing.back().median - fill.back().median;
        std::printf("  ratio largest/smallest without the fill: %.2fx\n", last / first);
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchsummary::Reporter reporter(benchsummary::counter("per_line"));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printSummary(reporter);
    return 0;
}
