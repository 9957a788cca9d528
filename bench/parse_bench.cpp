// Cost of the plug-in's own parsing, per line of command output, for hosts
// of 100 to 100,000 pseudo devices with 3 partitions each. The fake host
// hands over prepared output, so what is timed is the plug-in's work (and
// one copy of the output into the caller's string, as any runner makes).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "TmMPIO_EMCPowerPath.h"
#include "fake_host.h"
#include "partitions/partitions_internal.h"

namespace {

const std::string kPartitionListing =
    "cat /proc/partitions | grep \"emcpower\" | awk '{print $1\" \"$2\" \"$4}'";
const std::string kPseudoListing =
    "powermt display dev=all | grep 'Pseudo' | awk 'BEGIN {FS=\"=\";} {print $2;}'";

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
    fakehost::reset();
    fakehost::answer(kPartitionListing, {0, partitionListing(n), ""});
    for (auto _ : state) {
        MpDevMap devices;
        benchmark::DoNotOptimize(listMPIODevices(devices));
        benchmark::DoNotOptimize(devices.size());
    }
    perLine(state, n * (1 + kPartitionsPerDevice));
}

void BM_PseudoDeviceListing(benchmark::State& state) {
    const long n = state.range(0);
    fakehost::reset();
    fakehost::answer(kPseudoListing, {0, pseudoNames(n), ""});
    std::vector<std::unique_ptr<char[]>> buffers;
    std::vector<char*> pointers;
    for (long i = 0; i < n; ++i) {
        buffers.emplace_back(new char[MAXMPIOPATHLEN]);
        pointers.push_back(buffers.back().get());
    }
    int err = 0;
    char errbuf[MAXMPIOERRORLEN];
    for (auto _ : state) {
        int count = static_cast<int>(n);
        benchmark::DoNotOptimize(getMPIODevices(nullptr, pointers.data(), &count, &err, errbuf));
    }
    perLine(state, n);
}

// The first call of a capacity negotiation: a small array, every name
// counted but only four stored.
void BM_PseudoDeviceCounting(benchmark::State& state) {
    const long n = state.range(0);
    fakehost::reset();
    fakehost::answer(kPseudoListing, {0, pseudoNames(n), ""});
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
BENCHMARK(BM_PseudoDeviceListing)->RangeMultiplier(10)->Range(100, 100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
