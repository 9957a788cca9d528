// SPDX-License-Identifier: Apache-2.0
// The process table as the tests inspect it: who is left, who still runs.
#ifndef TESTS_SUPPORT_PROCESSES_H
#define TESTS_SUPPORT_PROCESSES_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "mpio/process.h"

namespace mpiotest {

// True when no child of this process, running or zombie, is left.
bool noChildren();

// Children of this process still in the process table (zombies included),
// as "pid state" strings.
std::vector<std::string> childrenLeft();

// True while the process exists and is no zombie.
bool runs(pid_t pid);
// True while a process of the group exists that is no zombie.
bool groupRuns(pid_t group);

// Runs /bin/sh -c SCRIPT with extra environment settings before it
// (env's arguments: NAME=VALUE, -u NAME), for at most two minutes.
inline mpio::process::ProgramRun shell(const std::string& script, std::vector<std::string> env = {}) {
    env.insert(env.end(), {"/bin/sh", "-c", script});
    return mpio::process::runProgram("env", env, {.timeout = std::chrono::minutes(2)});
}

// Polls condition every 20 ms until it holds or the limit has passed; the result is its last value.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10));

} // namespace mpiotest

#endif // TESTS_SUPPORT_PROCESSES_H
