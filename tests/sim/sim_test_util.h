// SPDX-License-Identifier: Apache-2.0
// Helpers of the simulator's tests: running the built programs, with the
// shared temporary directory and text utilities.
#ifndef TESTS_SIM_SIM_TEST_UTIL_H
#define TESTS_SIM_SIM_TEST_UTIL_H

#include "subprocess.h"
#include "temp_dir.h"
#include "text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace simtest {

using mpiotest::contains;
using mpiotest::lines;
using mpiotest::TempDir;

// Runs /bin/sh -c SCRIPT with extra environment settings before it.
inline sim::RunResult shell(const std::string& script, const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {"env"};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.insert(argv.end(), {"/bin/sh", "-c", script});
    return sim::runProgram(argv, "", 120000);
}

} // namespace simtest

#endif
