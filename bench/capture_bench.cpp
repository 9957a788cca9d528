// SPDX-License-Identifier: Apache-2.0
// Measures how fast TmProcess::system captures a large output, beside the
// capture loop it had before and a plain loop, in the same run.
// Usage: capture_bench [--repetitions N] [MEBIBYTES...]
//   (default: 3 repetitions of 1, 16, 256 and 1024 MiB)
// For each size it times, N times each, interleaved, and prints the median
// throughput of:
//   runner    head -c SIZE /dev/zero, captured by TmProcess::system
//   before    the same child started by the process runner's spawn, its
//             output read by the runner's former loop (kept below): poll
//             over both streams, 256 KiB reads appended to a string
//   64K loop  the same child, read 64 KiB at a time and appended to a string
//   both      the runner with the same on standard output and standard
//             error at the same time, both captured (twice the bytes)
//   bare pipe a bare /bin/sh -c start (bench_common), its output read and
//             thrown away: the ceiling that the pipe and head themselves set
// and, for the runner and the former loop, the resident memory of this
// program with the output still held, over the output size: at the end of
// the run and at its peak. Throughput is in MB/s of 10^6 bytes. Every run is
// checked: status 0 and every byte captured, else the program stops with
// status 1.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TmHostServices.h"
#include "bench_common.h"
#include "mpio/process.h"

namespace {

namespace process = mpio::process;
using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "capture_bench: %s\n", why.c_str());
    std::exit(1);
}

std::string headCommand(std::size_t bytes) { return "head -c " + std::to_string(bytes) + " /dev/zero"; }

// This program's resident memory now, and its peak since the last reset.
std::size_t statusBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stoul(line.substr(std::string(field).size())) * 1024;
    return 0;
}
std::size_t residentNow() { return statusBytes("VmRSS:"); }
std::size_t residentPeak() { return statusBytes("VmHWM:"); }
void resetResidentPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

struct Sample {
    double rate = 0;   // bytes per second
    double atEnd = 0;  // resident memory over output, output still held
    double atPeak = 0; // the peak of resident memory during the run, over output
};

// Times capture(out, err), which must leave `bytes` in out (and in err when
// both), and takes the resident memory while the strings are still held.
Sample measure(std::size_t bytes, bool both, const std::function<void(std::string&, std::string&)>& capture) {
    std::string out;
    std::string err;
    resetResidentPeak();
    const auto start = Clock::now();
    capture(out, err);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (out.size() != bytes || (both && err.size() != bytes))
        fail(std::to_string(out.size()) + " + " + std::to_string(err.size()) + " bytes captured of " +
             std::to_string(bytes));
    const double total = static_cast<double>(both ? 2 * bytes : bytes);
    return {total / seconds, static_cast<double>(residentNow()) / total,
            static_cast<double>(residentPeak()) / total};
}

void throughRunner(std::size_t bytes, bool both, std::string& out, std::string& err) {
    std::string command = headCommand(bytes);
    if (both) command += " & " + headCommand(bytes) + " >&2; wait";
    const int status = TmProcess::system(command.c_str(), &out, &err, 0, false);
    if (status != 0) fail("[" + command + "]: status " + std::to_string(status) + " " + err);
}

// The child whose output the loops below read, and its reaping.
process::Child startHead(std::size_t bytes, process::Sink errors) {
    process::Launch launch = process::shellCommand(headCommand(bytes));
    launch.errors = errors;
    process::Result failure;
    process::Child child = process::spawn(launch, failure);
    if (!child) fail("cannot start head: " + process::errnoText(failure.code));
    return child;
}

void reapHead(process::Child& child) {
    const std::optional<int> status = child.reap();
    if (!status || *status != 0) fail("head failed");
}

// The runner's capture loop as it was before the capture buffer: both
// streams non-blocking in one poll loop, 256 KiB reads, the pipe enlarged
// once a stream has carried 1 MiB, every chunk appended to a string.
void formerLoop(std::size_t bytes, std::string& out, std::string& err) {
    constexpr std::size_t kReadChunk = 256 * 1024;
    constexpr std::size_t kLargeStream = 1024 * 1024;
    constexpr int kLargePipe = 1024 * 1024;
    process::Child child = startHead(bytes, process::Sink::Capture);
    struct Stream {
        process::Fd* fd;
        std::string* into;
        std::size_t received = 0;
    } streams[2] = {{&child.output, &out}, {&child.errors, &err}};
    for (Stream& s : streams) ::fcntl(s.fd->get(), F_SETFL, ::fcntl(s.fd->get(), F_GETFL) | O_NONBLOCK);
    const auto buffer = std::make_unique_for_overwrite<char[]>(kReadChunk);
    for (;;) {
        pollfd fds[2];
        Stream* of[2];
        nfds_t n = 0;
        for (Stream& s : streams)
            if (*s.fd) {
                fds[n] = pollfd{s.fd->get(), POLLIN, 0};
                of[n++] = &s;
            }
        if (n == 0) break;
        if (::poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            fail("poll failed");
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            const ssize_t got = ::read(fds[i].fd, buffer.get(), kReadChunk);
            if (got > 0) {
                Stream& s = *of[i];
                const std::size_t before = s.received;
                s.received += static_cast<std::size_t>(got);
                if (before < kLargeStream && s.received >= kLargeStream)
                    ::fcntl(s.fd->get(), F_SETPIPE_SZ, kLargePipe);
                s.into->append(buffer.get(), static_cast<std::size_t>(got));
            } else if (got == 0) {
                of[i]->fd->reset();
            } else if (errno != EINTR && errno != EAGAIN) {
                fail("read failed");
            }
        }
    }
    reapHead(child);
}

// Read 64 KiB and append, until end-of-file.
void plainLoop(std::size_t bytes, std::string& out) {
    process::Child child = startHead(bytes, process::Sink::Inherit);
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(child.output.get(), chunk, sizeof chunk);
        if (got > 0)
            out.append(chunk, static_cast<std::size_t>(got));
        else if (got == 0)
            break;
        else if (errno != EINTR)
            fail("read failed");
    }
    reapHead(child);
}

double barePipe(std::size_t bytes) {
    const auto start = Clock::now();
    const bench::BareRun run = bench::runBareShell(headCommand(bytes), bench::BareOutput::Discard);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!run.ok) fail(run.why);
    if (run.bytes != bytes) fail("short output through the bare pipe");
    return static_cast<double>(bytes) / seconds;
}

struct Series {
    std::vector<double> rate, atEnd, atPeak;
    void add(const Sample& s) {
        rate.push_back(s.rate);
        atEnd.push_back(s.atEnd);
        atPeak.push_back(s.atPeak);
    }
    double medianRate() const { return bench::median(rate) / 1e6; }
};

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
    if (sizes.empty()) sizes = {1, 16, 256, 1024};

    std::printf("Capture throughput, MB/s (10^6 bytes), and resident memory over output, median of %d run(s)\n",
                repetitions);
    std::printf("%9s %8s %8s %8s %10s %10s %8s %9s %13s %13s\n", "size", "runner", "before", "64K loop",
                "vs before", "vs 64K", "both", "bare pipe", "RSS end/peak", "before's RSS");
    for (const long mib : sizes) {
        const std::size_t bytes = static_cast<std::size_t>(mib) * 1024 * 1024;
        Series runner, former, plain, both;
        std::vector<double> bare;
        // Interleaved, so that a slow moment of the machine touches all.
        for (int r = 0; r < repetitions; ++r) {
            runner.add(measure(bytes, false, [&](auto& o, auto& e) { throughRunner(bytes, false, o, e); }));
            former.add(measure(bytes, false, [&](auto& o, auto& e) { formerLoop(bytes, o, e); }));
            plain.add(measure(bytes, false, [&](auto& o, auto&) { plainLoop(bytes, o); }));
            both.add(measure(bytes, true, [&](auto& o, auto& e) { throughRunner(bytes, true, o, e); }));
            bare.push_back(barePipe(bytes));
        }
        std::printf("%5ld MiB %8.0f %8.0f %8.0f %9.2fx %9.2fx %8.0f %9.0f %6.2f/%-6.2f %6.2f/%-6.2f\n", mib,
                    runner.medianRate(), former.medianRate(), plain.medianRate(),
                    runner.medianRate() / former.medianRate(), runner.medianRate() / plain.medianRate(),
                    both.medianRate(), bench::median(bare) / 1e6, bench::median(runner.atEnd),
                    bench::median(runner.atPeak), bench::median(former.atEnd), bench::median(former.atPeak));
        std::fflush(stdout);
    }
    return 0;
}
