// SPDX-License-Identifier: Apache-2.0
// What the benchmarks share: a command line started bare, by posix_spawn of
// /bin/sh -c, as the baseline the host's runner is measured against; and the
// median they report.
#ifndef BENCH_BENCH_COMMON_H
#define BENCH_BENCH_COMMON_H

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

// Where a bare run's standard output goes: to /dev/null, or through a pipe
// that is read to its end and thrown away, or kept in a string.
enum class BareOutput { DevNull, Discard, Keep };

struct BareRun {
    bool ok = false;          // the shell ran the command and exited 0
    std::string why;          // what failed, when not ok
    std::size_t bytes = 0;    // standard output read through the pipe
    std::string kept;         // with BareOutput::Keep: that output
};

// Runs command by posix_spawn of /bin/sh -c, standard input and standard
// error on /dev/null, then waitpid.
BareRun runBareShell(const std::string& command, BareOutput output);

double median(std::vector<double> values);

} // namespace bench

#endif
