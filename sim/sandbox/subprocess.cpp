// SPDX-License-Identifier: Apache-2.0
#include "sandbox/subprocess.h"

#include "machine/checked_files.h"

#include "mpio/process.h"

namespace sim {

namespace process = mpio::process;

RunResult runProgram(const std::vector<std::string>& argv, const std::string& input, int timeoutMs) {
    if (argv.empty()) throw std::invalid_argument("runProgram: no program");
    process::Launch launch;
    launch.argv = argv;
    launch.searchAfterPath = {"/usr/sbin", "/sbin"};
    launch.input = process::Input::Text;
    launch.inputText = input;
    launch.timeout = std::chrono::milliseconds(timeoutMs);
    launch.outputLimit = kHelperOutputLimit;
    process::Result r = process::run(launch);
    switch (r.outcome) {
    case process::Outcome::Exited:
    case process::Outcome::Signalled:
        return {r.outcome == process::Outcome::Exited ? r.code : 128 + r.code, std::move(r.out), std::move(r.err),
                r.outTruncated, r.errTruncated};
    case process::Outcome::TimedOut:
        throw std::runtime_error(argv[0] + " did not finish within " + std::to_string(timeoutMs / 1000) + " s");
    case process::Outcome::StatusLost:
        throw std::runtime_error("the exit status of " + argv[0] + " was lost");
    default:
        throw SysError("cannot run " + argv[0] + " (" + r.call + ")", r.code);
    }
}

} // namespace sim
