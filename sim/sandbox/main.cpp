// SPDX-License-Identifier: Apache-2.0
// mpio-sandbox: runs a command on a simulated PowerPath machine.
#include "TmMPIOVersion.h"
#include "sandbox/command_line.h"
#include "sandbox/launcher.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (const auto status = sim::runHiddenMode(args)) return *status;
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        // "Usage:" leads --help, as people expect.
        std::string usage = sim::kSandboxUsage;
        if (usage.starts_with("usage:")) usage[0] = 'U';
        std::fputs(usage.c_str(), stdout);
        return 0;
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::fputs("mpio-sandbox (TmMPIO_EMCPowerPath) " TMMPIO_VERSION_STRING "\n", stdout);
        return 0;
    }
    if (!args.empty() && args[0].starts_with("--generate")) return sim::generateCommand(args);
    try {
        return sim::runSandbox(sim::parseSandboxArgs(args));
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "mpio-sandbox: %s\n%s", e.what(), sim::kSandboxUsage);
        return sim::kSandboxFailed;
    }
}
