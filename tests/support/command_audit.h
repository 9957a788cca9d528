// SPDX-License-Identifier: Apache-2.0
// The audit of the command lines the plug-in gave the host's process runner,
// shared by the reliability tests and the fuzz targets.
#ifndef TESTS_SUPPORT_COMMAND_AUDIT_H
#define TESTS_SUPPORT_COMMAND_AUDIT_H

#include <string>
#include <vector>

namespace mpiotest {

// One finding per command line that is not one of the plug-in's command
// forms, or that carries an unsafe name after "dev=". Empty when all is well.
std::vector<std::string> commandFaults(const std::vector<std::string>& commands);

} // namespace mpiotest

#endif // TESTS_SUPPORT_COMMAND_AUDIT_H
