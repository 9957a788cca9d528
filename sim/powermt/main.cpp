// SPDX-License-Identifier: Apache-2.0
// powermt-sim: the simulated EMC PowerPath powermt command. Inside
// mpio-sandbox it is first on PATH as `powermt`.
#include "TmMPIOVersion.h"
#include "machine/state_dir.h"
#include "powermt/powermt_command.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "mpio/process.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    // --version and --help for people and the manual page; everything else
    // is a powermt command line.
    if (args.size() == 1 && args[0] == "--version") {
        std::fputs("powermt-sim (TmMPIO_EMCPowerPath) " TMMPIO_VERSION_STRING "\n", stdout);
        return 0;
    }
    if (args.size() == 1 && args[0] == "--help") {
        std::string usage;
        std::string ignored;
        sim::runPowermt({"help"}, "", usage, ignored);
        // powermt's usage lines, in the "Usage:" and "or:" form of --help.
        std::string text;
        std::istringstream lines(usage);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("usage: "))
                line.replace(0, 7, "Usage: ");
            else if (line.starts_with("       powermt"))
                line.replace(0, 7, "  or:  ");
            text += line + "\n";
        }
        std::fputs(text.c_str(), stdout);
        std::fputs("\nThe simulated EMC PowerPath powermt command. Inside mpio-sandbox it is first\n"
                   "on PATH as powermt and answers from, and changes, the sandbox's state\n"
                   "directory, which the environment variable POWERMT_SIM_STATE names.\n",
                   stdout);
        return 0;
    }
    const char* state = std::getenv(sim::kStateEnv);
    std::string out, err;
    int status = sim::runPowermt(args, state ? state : "", out, err);
    if (const int error = mpio::process::writeAll(STDOUT_FILENO, out)) {
        err += "powermt: cannot write the output: " + mpio::process::errnoText(error) + "\n";
        if (status == 0) status = sim::kPowermtNoState;
    }
    if (mpio::process::writeAll(STDERR_FILENO, err) != 0 && status == 0) status = sim::kPowermtNoState;
    return status;
}
