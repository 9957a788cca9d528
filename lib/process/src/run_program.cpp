// SPDX-License-Identifier: Apache-2.0
// runProgram: run() for a caller that wants a program's exit status and
// output, and takes a failure to run it as an error.
#include <string>
#include <vector>

#include <stdexcept>

#include "mpio/process.h"

namespace mpio::process {

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const RunOptions& options) {
    Launch launch;
    launch.argv.reserve(arguments.size() + 1);
    launch.argv.push_back(program);
    launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
    // Administration tools (sfdisk, losetup) live there, which a user's PATH may lack.
    launch.searchAfterPath = {"/usr/sbin", "/sbin"};
    launch.input = options.input.empty() ? Input::Empty : Input::Text;
    launch.inputText = options.input;
    launch.environment = options.environment;
    launch.timeout = options.timeout;
    launch.outputLimit = options.outputLimit;

    Result r = run(launch);
    ProgramRun done;
    switch (r.outcome) {
    case Outcome::Exited: done.exitStatus = r.code; break;
    case Outcome::Signalled: done.exitStatus = 128 + r.code; break;
    case Outcome::TimedOut: done.timedOut = true; break;
    case Outcome::StatusLost: throw std::runtime_error("the exit status of " + program + " was lost");
    default: throw std::runtime_error("cannot run " + program + " (" + r.call + "): " + errnoText(r.code));
    }
    static_cast<Captured&>(done) = std::move(r);
    return done;
}

} // namespace mpio::process
