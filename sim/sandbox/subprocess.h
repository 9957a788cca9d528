// SPDX-License-Identifier: Apache-2.0
// Runs a helper program (sfdisk) through the process core, with bounded time
// and output.
#ifndef SIM_SANDBOX_SUBPROCESS_H
#define SIM_SANDBOX_SUBPROCESS_H

#include <cstddef>
#include <string>
#include <vector>

namespace sim {

// The most bytes kept of each stream of a helper program.
inline constexpr std::size_t kHelperOutputLimit = 4 * 1024 * 1024;

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool outTruncated = false; // more than kHelperOutputLimit came; the rest was dropped
    bool errTruncated = false;
};

// Runs argv[0] (searched on PATH, then in /usr/sbin and /sbin) with `input`
// on its standard input, in a process group of its own that is killed after
// `timeoutMs`. Throws SysError when it cannot be started or read, and
// std::runtime_error when it times out or its status is lost.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& input, int timeoutMs = 60000);

} // namespace sim

#endif
