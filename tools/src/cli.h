// SPDX-License-Identifier: Apache-2.0
// The command line of mpioctl: sub-commands, options, help texts, exit codes.
#ifndef MPIOCTL_CLI_H
#define MPIOCTL_CLI_H

#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "plugin.h"

namespace mpioctl {

// Exit statuses of mpioctl.
enum ExitStatus : int {
    kExitOk = 0,          // success; for is-mpio and is-partition: yes
    kExitNo = 1,          // is-mpio or is-partition: no
    kExitFailure = 2,     // the plug-in reported a failure or broke its conventions
    kExitLoadFailure = 3, // the plug-in could not be loaded or lacks an entry point,
                          // or the host log could not be set up
    kExitUsage = 64,      // bad options or arguments
    kExitOutput = 74,     // the output could not be written (a full disk, a closed pipe)
};

// Bound in seconds of every command that the plug-in runs, unless --timeout
// gives another: a powermt that hangs on an unreachable array must not hang
// mpioctl with it.
inline constexpr int kDefaultTimeoutSeconds = 60;

// The version of the --json documents' layout, their first member
// schemaVersion; it grows with every change that a reader could notice
// (tools/schemas holds their JSON Schemas).
inline constexpr int kJsonSchemaVersion = 2;

struct Options {
    std::optional<std::string> plugin;
    bool json = false;
    std::optional<int> logLevel;       // one of the host log's levels
    bool noHeadings = false;           // tables without their heading line
    bool raw = false;                  // tables as tab-separated fields, for scripts
    std::optional<int> timeoutSeconds; // unset: kDefaultTimeoutSeconds; 0: no bound
};

// What to print instead of running a command. HelpCommand: the help of
// `help` itself, which is no command of the table.
enum class Help { None, Program, Command, HelpCommand, Version };

struct Invocation {
    Options options;
    Help help = Help::None;
    const CommandInfo* command = nullptr; // the command to run, or whose help to show
    std::string argument;                 // its PATH or NAME
};

struct ParseResult {
    std::optional<Invocation> invocation; // empty on a usage error
    std::string error;                    // the usage error
    const CommandInfo* command = nullptr; // the command that the error concerns, if known
};

// Parses the arguments after the program name. Options may come before or
// after the command, and between it and its argument; "--" ends them.
ParseResult parseArguments(const std::vector<std::string>& arguments);

// Help texts. programHelp describes the plug-in lookup with defaults and
// shows chosenPlugin, the one that this run would load.
std::string programHelp(const std::string& chosenPlugin, const DefaultPlugin& defaults);
std::string commandHelp(const CommandInfo& command);
std::string helpCommandHelp();

// "mpioctl (TmMPIO_EMCPowerPath) VERSION", for --version.
std::string versionText();

// "mpioctl: ERROR" and a hint where to find help, for standard error.
std::string usageMessage(const ParseResult& failed);

} // namespace mpioctl

#endif // MPIOCTL_CLI_H
