// powermt-sim: the simulated EMC PowerPath powermt command. Inside
// mpio-sandbox it is first on PATH as `powermt`.
#include "powermt.h"
#include "sysfiles.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const char* state = std::getenv(sim::kStateEnv);
    std::string out, err;
    int status = sim::runPowermt(args, state ? state : "", out, err);
    try {
        sim::writeAll(STDOUT_FILENO, out.data(), out.size(), "powermt: cannot write the output");
    } catch (const std::exception& e) {
        err += std::string(e.what()) + "\n";
        if (status == 0) status = sim::kPowermtNoState;
    }
    try {
        sim::writeAll(STDERR_FILENO, err.data(), err.size(), "stderr");
    } catch (const std::exception&) {
        if (status == 0) status = sim::kPowermtNoState;
    }
    return status;
}
