// SPDX-License-Identifier: Apache-2.0
// Helpers of the simulator's tests: running the built programs, with the
// shared temporary directory and text utilities.
#ifndef TESTS_SIM_SIM_TEST_UTIL_H
#define TESTS_SIM_SIM_TEST_UTIL_H

#include "mpio/process.h"
#include "temp_dir.h"
#include "text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace simtest {

using mpiotest::contains;
using mpiotest::lines;
using mpiotest::TempDir;

// Runs /bin/sh -c SCRIPT with extra environment settings before it
// (env's arguments: NAME=VALUE, -u NAME).
inline mpio::process::ProgramRun shell(const std::string& script, std::vector<std::string> env = {}) {
    env.insert(env.end(), {"/bin/sh", "-c", script});
    return mpio::process::runProgram("env", env, {.timeout = std::chrono::minutes(2)});
}

} // namespace simtest

#endif
