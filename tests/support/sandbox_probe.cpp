// SPDX-License-Identifier: Apache-2.0
#include "sandbox_probe.h"

#include <map>
#include <regex>

#include "mpio/process.h"

namespace mpiotest {

namespace {

// mpio-sandbox's exit status when it cannot make the sandbox.
constexpr int kSandboxFailed = 125;

// The failures that belong to the machine rather than to the launcher (the
// same that the e2e tests' ctest entries skip on).
bool namesAMissingFacility(const std::string& message) {
    static const std::regex reasons(
        "mpio-sandbox: (cannot create a (mount|PID) namespace|disk-backed devices need /dev/loop-control)");
    return std::regex_search(message, reasons);
}

std::string probe(const std::string& launcher, const std::string& topology) {
    const mpio::process::ProgramRun run = mpio::process::runProgram(
        launcher, {"--topology", topology, "--", "true"}, {.timeout = std::chrono::minutes(2)});
    return run.exitStatus == kSandboxFailed && namesAMissingFacility(run.err) ? run.err : std::string();
}

} // namespace

const std::string& whyNoSandbox(const std::string& launcher, const std::string& topology) {
    static std::map<std::string, std::string> known;
    const std::string key = launcher + '\n' + topology;
    auto found = known.find(key);
    if (found == known.end()) found = known.emplace(key, probe(launcher, topology)).first;
    return found->second;
}

} // namespace mpiotest
