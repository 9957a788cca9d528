// Measures how fast TmProcess::system captures a large standard output.
// Usage: host_capture_bench [megabytes per stream, default 1024] [both]
// With "both", standard error carries the same amount at the same time.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TmHostServices.h"

int main(int argc, char** argv) {
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 1024;
    const bool both = argc > 2 && std::strcmp(argv[2], "both") == 0;
    const std::string bytes = std::to_string(megabytes * 1024 * 1024);
    std::string command = "head -c " + bytes + " /dev/zero";
    if (both) command += " & head -c " + bytes + " /dev/zero >&2; wait";
    std::string out, err;
    const auto start = std::chrono::steady_clock::now();
    const int status = TmProcess::system(command.c_str(), &out, &err, 0, false);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double total = static_cast<double>(out.size() + (both ? err.size() : 0));
    std::printf("status %d, %zu + %zu bytes in %.3f s: %.0f MB/s\n", status, out.size(),
                both ? err.size() : std::size_t{0}, seconds, total / seconds / 1e6);
    return status == 0 && out.size() == std::stoul(bytes) ? 0 : 1;
}
