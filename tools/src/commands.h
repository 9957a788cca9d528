// SPDX-License-Identifier: Apache-2.0
// The sub-commands: each calls its entry points as a host application does
// and reports what it learnt. Their rows (command.h) are in commands.cpp,
// beside the handlers.
#ifndef MPIOCTL_COMMANDS_H
#define MPIOCTL_COMMANDS_H

#include <string>
#include <vector>

#include "cli.h"
#include "command.h"
#include "negotiate.h"
#include "plugin.h"
#include "report.h"

namespace mpioctl {

// Runs the invocation's command, by the handler of its row, against the
// entry points. Every call gets a null host context and freshly cleared
// error out-parameters.
Report runCommand(const Invocation& invocation, const EntryPoints& entryPoints, const std::string& pluginPath,
                  const Limits& limits = {}, const Progress& progress = {});

// The report of a run that could not reach the plug-in: it failed to load,
// or the host stand-in could not be set up.
Report setupFailure(const Invocation& invocation, const std::string& pluginPath,
                    const std::vector<std::string>& errors);

} // namespace mpioctl

#endif // MPIOCTL_COMMANDS_H
