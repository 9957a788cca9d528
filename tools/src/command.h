// SPDX-License-Identifier: Apache-2.0
// One row of mpioctl's command table: what a sub-command is called, how its
// help describes it, the options it takes, the handler that runs it and the
// renderers that show its answer. Parsing, running and printing all look
// the command up in the table; none of them branches on which command it is.
#ifndef MPIOCTL_COMMAND_H
#define MPIOCTL_COMMAND_H

#include <cstddef>
#include <functional>
#include <span>
#include <string_view>

#include "mpio/loader.h"

namespace mpioctl {

struct Report;
struct Limits;
struct TextOutput;
class JsonMembers;

// Told after each device of a long command (inventory): done of total.
using Progress = std::function<void(std::size_t done, std::size_t total)>;

// What a handler works with: the plug-in's entry points, the bounds of the
// arrays it offers, and whom to tell of its progress (may be empty).
struct Session {
    const mpio::loader::EntryPoints& api;
    const Limits& limits;
    const Progress& progress;
};

// Runs the command, filling in report: its answer, or its failure and exit
// status, and the warnings of calls that went on.
using Handler = void (*)(const Session& session, Report& report);
// Writes the answer of a report without failure as text.
using TextRenderer = void (*)(const Report& report, const TextOutput& output);
// Adds the members that carry the answer of a report without failure.
using JsonRenderer = void (*)(const Report& report, JsonMembers& members);

// The groups of options, as a command's help lists them: every command
// takes the common ones, the commands that print tables the table options.
enum OptionGroups : unsigned {
    kNoOptionGroup = 0, // the program's own (--version): no command lists it
    kCommonOptions = 1u << 0,
    kTableOptions = 1u << 1,
};

struct CommandInfo {
    const char* name;           // as typed: "is-mpio"
    const char* argument;       // "PATH", "NAME", or nullptr when it takes none
    const char* argumentMember; // the JSON member that holds the argument, or nullptr
    const char* entryPoint;     // the entry points it calls, for the command list
    const char* summary;        // one line for the command list
    const char* details;        // the paragraph of its own help
    unsigned options;           // the OptionGroups that it takes
    Handler run;
    TextRenderer text;
    TextRenderer raw;  // --raw; nullptr when it prints no table, and --raw changes nothing
    JsonRenderer json; // nullptr when the document carries no answer beyond its envelope
};

std::span<const CommandInfo> commandTable();
const CommandInfo* findCommand(std::string_view name);

} // namespace mpioctl

#endif // MPIOCTL_COMMAND_H
