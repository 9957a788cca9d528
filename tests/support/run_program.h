// SPDX-License-Identifier: Apache-2.0
// Runs a program to completion with extra environment variables and
// captures its standard output, standard error and exit status.
#ifndef MPIOCTL_TESTS_RUN_PROGRAM_H
#define MPIOCTL_TESTS_RUN_PROGRAM_H

#include <map>
#include <string>
#include <vector>

struct ProgramRun {
    int exitStatus = -1; // -1 when it did not exit normally
    std::string out;
    std::string err;
};

// program is a path; its standard input is empty. After timeoutSeconds its
// process group is killed. Variables mapped to an empty string are removed
// from the environment. Throws std::runtime_error when it cannot be run.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::map<std::string, std::string>& environment = {},
                      int timeoutSeconds = 30);

#endif // MPIOCTL_TESTS_RUN_PROGRAM_H
