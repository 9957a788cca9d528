// SPDX-License-Identifier: Apache-2.0
#include "run_program.h"

#include <chrono>
#include <stdexcept>

#include "mpio/process.h"

namespace process = mpio::process;

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::map<std::string, std::string>& environment, int timeoutSeconds) {
    process::Launch launch;
    launch.program = program;
    launch.argv.push_back(program);
    launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
    for (const auto& [name, value] : environment)
        launch.environment.push_back({name, value.empty() ? std::nullopt : std::optional(value)});
    launch.timeout = std::chrono::seconds(timeoutSeconds);

    process::Result r = process::run(launch);
    if (r.outcome == process::Outcome::NoPipe || r.outcome == process::Outcome::NotStarted ||
        r.outcome == process::Outcome::CaptureFailed)
        throw std::runtime_error("cannot run " + program + ": " + r.call + ": " + process::errnoText(r.code));
    ProgramRun run;
    run.exitStatus = r.outcome == process::Outcome::Exited ? r.code : -1;
    run.out = std::move(r.out);
    run.err = std::move(r.err);
    return run;
}
