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
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TmHostServices.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "capture_bench: %s\n", why.c_str());
    std::exit(1);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
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
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) fail("pipe2 failed");
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command.c_str()),
                    nullptr};
    static std::vector<char> chunk(256 * 1024);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) fail("posix_spawn failed");
    std::size_t total = 0;
    std::string kept;
    for (;;) {
        const ssize_t n = ::read(fds[0], chunk.data(), chunk.size());
        if (n > 0) {
            total += static_cast<std::size_t>(n);
            if (keep) kept.append(chunk.data(), static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) fail("waitpid failed");
    const double seconds = secondsSince(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || total != bytes || (keep && kept.size() != bytes))
        fail("[" + command + "] failed");
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
        std::printf("%6ld MiB %12.0f %12.0f %12.0f %12.0f\n", mib, median(out) / 1e6, median(both) / 1e6,
                    median(bare) / 1e6, median(kept) / 1e6);
    }
    return 0;
}
