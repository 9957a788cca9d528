// SPDX-License-Identifier: Apache-2.0
// The process table as the tests inspect it: who is left, who still runs.
#ifndef TESTS_SUPPORT_PROCESSES_H
#define TESTS_SUPPORT_PROCESSES_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace mpiotest {

struct ProcessEntry {
    pid_t pid = 0;
    char state = 0; // R, S, Z (zombie), ...
    pid_t parent = 0;
    pid_t group = 0;
    bool alive() const { return state != 'Z' && state != 'X'; }
};

// Every process in /proc now; one that ends while it is read is left out.
std::vector<ProcessEntry> processTable();

// True when no child of this process, running or zombie, is left.
bool noChildren();

// Children of this process still in the process table (zombies included),
// as "pid state" strings.
std::vector<std::string> childrenLeft();

// True while the process exists and is no zombie.
bool runs(pid_t pid);
// True while a process of the group exists that is no zombie.
bool groupRuns(pid_t group);

// Polls condition every 20 ms until it holds or the limit has passed; the result is its last value.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10));

} // namespace mpiotest

#endif // TESTS_SUPPORT_PROCESSES_H
