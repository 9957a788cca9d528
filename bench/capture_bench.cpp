// Measures how fast TmProcess::system captures a large output.
// Usage: capture_bench [--repetitions N] [MEBIBYTES...]
//   (default: 3 repetitions of 1, 10, 100 and 1024 MiB)
// For each size it times, N times each, and prints the median throughput:
//   stdout    head -c SIZE /dev/zero, captured by the runner
//   both      the same on standard output and standard error at the same
//             time, both captured (twice the bytes)
//   bare pipe the same command by posix_spawn of /bin/sh -c, its standard
//             output read through a plain pipe and thrown away: the ceiling
//             that the pipe and head themselves set
//   bare kept the same, but every byte appended to one std::string, as a
//             capture must keep it: the cost of storing the output
// Throughput is in MB/s of 10^6 bytes. Every run is checked: status 0 and
// every byte captured, else the program stops with status 1.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TmHostServices.h"
#include "bench_common.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "capture_bench: %s\n", why.c_str());
    std::exit(1);
}

// Bytes per second of one captured run.
double captured(std::size_t bytes, bool both) {
    const std::string size = std::to_string(bytes);
    std::string command = "head -c " + size + " /dev/zero";
    if (both) command += " & head -c " + size + " /dev/zero >&2; wait";
    std::string out;
    std::string err;
    const auto start = Clock::now();
    const int status = TmProcess::system(command.c_str(), &out, &err, 0, false);
    const double seconds = secondsSince(start);
    if (status != 0 || out.size() != bytes || (both && err.size() != bytes))
        fail("[" + command + "]: status " + std::to_string(status) + ", " + std::to_string(out.size()) +
             " + " + std::to_string(err.size()) + " bytes captured");
    return static_cast<double>(both ? 2 * bytes : bytes) / seconds;
}

// Bytes per second through a bare pipe, read and thrown away or kept.
double barePipe(std::size_t bytes, bool keep) {
    const std::string command = "head -c " + std::to_string(bytes) + " /dev/zero";
    const auto start = Clock::now();
    const bench::BareRun run =
        bench::runBareShell(command, keep ? bench::BareOutput::Keep : bench::BareOutput::Discard);
    const double seconds = secondsSince(start);
    if (!run.ok) fail(run.why);
    if (run.bytes != bytes || (keep && run.kept.size() != bytes)) fail("[" + command + "]: short output");
    return static_cast<double>(bytes) / seconds;
}

} // namespace

int main(int argc, char** argv) {
    int repetitions = 3;
    std::vector<long> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        char* end = nullptr;
        if (arg == "--repetitions" && i + 1 < argc) {
            repetitions = static_cast<int>(std::strtol(argv[++i], &end, 10));
            if (*end != '\0' || repetitions < 1 || repetitions > 1000) {
                std::fprintf(stderr, "capture_bench: --repetitions needs 1 to 1000\n");
                return 2;
            }
            continue;
        }
        const long mib = std::strtol(arg.c_str(), &end, 10);
        if (arg.empty() || *end != '\0' || mib < 1 || mib > 8192) {
            std::fprintf(stderr, "usage: capture_bench [--repetitions N] [MEBIBYTES (1 to 8192)...]\n");
            return 2;
        }
        sizes.push_back(mib);
    }
    if (sizes.empty()) sizes = {1, 10, 100, 1024};

    std::printf("Capture throughput, MB/s (10^6 bytes), median of %d run(s)\n", repetitions);
    std::printf("%10s %12s %12s %12s %12s\n", "size", "stdout", "both", "bare pipe", "bare kept");
    for (const long mib : sizes) {
        const std::size_t bytes = static_cast<std::size_t>(mib) * 1024 * 1024;
        std::vector<double> out, both, bare, kept;
        // Interleaved, so that a slow moment of the machine touches all four.
        for (int r = 0; r < repetitions; ++r) {
            out.push_back(captured(bytes, false));
            both.push_back(captured(bytes, true));
            bare.push_back(barePipe(bytes, false));
            kept.push_back(barePipe(bytes, true));
        }
        std::printf("%6ld MiB %12.0f %12.0f %12.0f %12.0f\n", mib, bench::median(out) / 1e6, bench::median(both) / 1e6,
                    bench::median(bare) / 1e6, bench::median(kept) / 1e6);
    }
    return 0;
}
