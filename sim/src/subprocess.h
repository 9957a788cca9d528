// Runs a helper program (sfdisk) with bounded time and output.
#ifndef SIM_SUBPROCESS_H
#define SIM_SUBPROCESS_H

#include <string>
#include <vector>

namespace sim {

struct RunResult {
    int status = -1;     // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs argv[0] (searched on PATH, then in /usr/sbin and /sbin) with `input`
// on its standard input. Kills it after `timeoutMs`. Throws SysError when it
// cannot be started or std::runtime_error when it times out.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& input, int timeoutMs = 60000);

// In a child about to exec: every signal to its default disposition and an
// empty mask, whatever the parent ignored or blocked.
void resetSignalsForExec() noexcept;

} // namespace sim

#endif
