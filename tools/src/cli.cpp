// SPDX-License-Identifier: Apache-2.0
#include "cli.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <sstream>

#include "TmMPIOVersion.h"
#include "mpio/process.h"
#include "negotiate.h"
#include "plugin.h"
#include "tmhost/TmHost.h"

namespace mpioctl {

namespace {

constexpr std::array<CommandInfo, 10> kCommands{{
    {Command::Vendor, "vendor", nullptr, "getVendorName", "the plug-in's vendor name",
     "Prints the vendor name that the plug-in hands out (getVendorName).\n"
     "It needs no set-up and runs no command."},
    {Command::Init, "init", nullptr, "init", "set the plug-in up; prints the vendor name",
     "Calls init, which asks the kernel for the PowerPath admin major number, and\n"
     "prints the vendor name that it returns. It fails when no PowerPath device\n"
     "class is listed in /proc/devices."},
    {Command::Devices, "devices", nullptr, "getMPIODevices", "list the pseudo devices",
     "Lists the PowerPath pseudo devices, one path per line, nothing when there\n"
     "are none (getMPIODevices). When none is listed it calls init, and when\n"
     "that finds no PowerPath device class it says that this machine has no\n"
     "PowerPath and fails.\n"
     "The array offered to the plug-in grows to the size that it asks for, up to\n"
     "the limit given in mpioctl --help."},
    {Command::IsMpio, "is-mpio", "PATH", "isMPIODevice",
     "whether PATH is a pseudo device or partition of one",
     "Tells whether PATH denotes a PowerPath pseudo device or a partition of one,\n"
     "judged by the device numbers of its node (isMPIODevice).\n"
     "Exit status 0 for yes, 1 for no."},
    {Command::Paths, "paths", "PATH", "getUnderlyingDevices",
     "the physical paths behind a pseudo device",
     "Lists the physical paths (sd devices) behind the pseudo device PATH, or\n"
     "behind the pseudo device that holds the partition PATH, one per line\n"
     "(getUnderlyingDevices). The plug-in returns the active and the passive\n"
     "paths, alive or dead alike; standby and unlicensed paths are not returned,\n"
     "and a path's state is not part of the plug-in's interface. Calls init first; when init fails, a warning is\n"
     "shown and the call goes on, since whole pseudo devices are still answered,\n"
     "but a partition is then not mapped to its pseudo device. A PATH that is not\n"
     "a pseudo device is a failure."},
    {Command::Partitions, "partitions", "PATH", "getPartitionDevices",
     "the partitions of a whole pseudo device",
     "Lists the partitions of the whole pseudo device PATH as a table of name,\n"
     "partition number, start, size, sector size and device numbers\n"
     "(getPartitionDevices). Calls init first and fails when init fails: without\n"
     "the admin major number the plug-in recognises no pseudo device."},
    {Command::IsPartition, "is-partition", "PATH", "isPartitionDevice",
     "whether PATH is a partition of a pseudo device; its parent",
     "Tells whether PATH is a partition of a PowerPath pseudo device and, if so,\n"
     "names the whole pseudo device that holds it (isPartitionDevice). Calls init\n"
     "first and fails when init fails: without the admin major number no\n"
     "partition is recognised. Exit status 0 for yes, 1 for no; a PATH that\n"
     "cannot be examined, or whose parent node is missing, is a failure."},
    {Command::Refresh, "refresh", nullptr, "refreshMPIO", "rescan the multipath configuration",
     "Makes PowerPath rescan its configuration (refreshMPIO)."},
    {Command::Delete, "delete", "NAME", "deleteMPIODevice",
     "remove a pseudo device and save the configuration",
     "Removes the pseudo device NAME (a name such as emcpowerc or a path such as\n"
     "/dev/emcpowerc), then releases and saves the PowerPath configuration\n"
     "(deleteMPIODevice). A failure of any of these steps is a failure, even when\n"
     "the plug-in's result reports only the save."},
    {Command::Inventory, "inventory", nullptr, "init, getMPIODevices, ...",
     "every pseudo device with its paths and partitions",
     "Shows every pseudo device as a host sees it at start-up: calls init, lists\n"
     "the pseudo devices (getMPIODevices) and, for each, whether its node answers\n"
     "to isMPIODevice, its physical paths (getUnderlyingDevices) and its\n"
     "partitions with their records (getPartitionDevices). As text a tree:\n"
     "device, then its paths, then its partitions; --raw gives one tab-separated\n"
     "row per device, path and partition, after a heading line unless\n"
     "--no-headings is given. Paths are those the plug-in returns:\n"
     "active and passive ones, alive or dead; standby and unlicensed paths are\n"
     "not returned, and path state is not part of the plug-in's interface.\n"
     "A device whose questions fail is shown with the failure and the inventory\n"
     "goes on; the exit status is then 2. Progress goes to standard error when\n"
     "it is a terminal and the inventory takes more than a second."},
}};

const char* const kExitStatusText =
    "Exit status:\n"
    "  0   success; for is-mpio and is-partition: yes\n"
    "  1   is-mpio or is-partition: no\n"
    "  2   the plug-in reported a failure, or answered against its conventions;\n"
    "      mpioctl ran out of memory\n"
    "  3   the plug-in could not be loaded, was refused (others could replace it)\n"
    "      or lacks an entry point, or the host log could not be set up\n"
    "  64  usage error: unknown option or command, missing or extra argument\n"
    "  74  the output could not be written (a full disk)\n"
    "A closed pipe on standard output ends mpioctl quietly by SIGPIPE, as other\n"
    "tools (status 141 in the shell).\n";

std::string synopsis(const CommandInfo& command) {
    std::string text = command.name;
    if (command.argument) text += std::string(" ") + command.argument;
    return text;
}

bool parseInt(std::string_view text, int& value) {
    if (text.empty()) return false;
    const char* first = text.data();
    const char* last = first + text.size();
    if (*first == '+') { // from_chars takes no plus sign
        ++first;
        if (first == last || *first == '-') return false;
    }
    const auto [end, error] = std::from_chars(first, last, value);
    return error == std::errc{} && end == last;
}

struct OptionDef {
    std::string_view name;
    bool takesValue;
};

constexpr std::array<OptionDef, 8> kOptions{{
    {"--plugin", true}, {"--json", false}, {"--log", true}, {"--timeout", true}, {"--help", false},
    {"--version", false}, {"--no-headings", false}, {"--raw", false},
}};

// The options as a command's help lists them; --no-headings and --raw only
// for the commands that print tables.
struct CommandOption {
    const char* synopsis;
    const char* summary;
    bool tablesOnly;
};

constexpr std::array<CommandOption, 7> kCommandOptions{{
    {"--plugin PATH", "the plug-in to load (mpioctl --help names the default)", false},
    {"--json", "print one JSON document instead of text", false},
    {"--log LEVEL", "show the host debug log from LEVEL up on standard error", false},
    {"--timeout SECONDS", "bound every command the plug-in runs; default 60, 0: none", false},
    {"--no-headings", "print the table without its heading line", true},
    {"--raw", "print the table as tab-separated fields, for scripts", true},
    {"-h, --help", "this text", false},
}};
static_assert(kDefaultTimeoutSeconds == 60, "the --timeout help names the default");

bool printsTables(const CommandInfo& command) {
    return command.id == Command::Partitions || command.id == Command::Inventory;
}

// "debug (-1), info (0), ..." for messages and help.
std::string logLevelList() {
    std::string text;
    for (const tmhost::LogLevelName& level : tmhost::logLevelNames())
        text += (text.empty() ? "" : ", ") + std::string(level.name) + " (" +
                std::to_string(level.level) + ")";
    return text;
}

// A level of the host log by name or number; nullopt for one that no entry has.
std::optional<int> parseLogLevel(const std::string& text) {
    for (const tmhost::LogLevelName& level : tmhost::logLevelNames())
        if (text == level.name) return level.level;
    int number = 0;
    if (!parseInt(text, number) || tmhost::clampLogLevel(number) != number) return std::nullopt;
    return number;
}

// Applies one option with its value; the error text when it is refused.
std::string applyOption(std::string_view name, const std::string& value, Options& options,
                        bool& help, bool& version) {
    if (name == "--help") {
        help = true;
    } else if (name == "--version") {
        version = true;
    } else if (name == "--json") {
        options.json = true;
    } else if (name == "--no-headings") {
        options.noHeadings = true;
    } else if (name == "--raw") {
        options.raw = true;
    } else if (name == "--plugin") {
        if (value.empty()) return "option --plugin needs a path";
        options.plugin = value;
    } else if (name == "--log") {
        const std::optional<int> level = parseLogLevel(value);
        if (!level)
            return "option --log needs a level of the host log, " + logLevelList() +
                   ", not '" + value + "'";
        options.logLevel = level;
    } else if (name == "--timeout") {
        int seconds = 0;
        if (!parseInt(value, seconds) || seconds < 0)
            return "option --timeout needs a number of seconds from 0 to " +
                   std::to_string(INT_MAX) + ", not '" + value + "'";
        options.timeoutSeconds = seconds;
    }
    return {};
}

} // namespace

std::span<const CommandInfo> commandTable() { return kCommands; }

const CommandInfo* findCommand(std::string_view name) {
    for (const CommandInfo& command : kCommands)
        if (name == command.name) return &command;
    return nullptr;
}

ParseResult parseArguments(const std::vector<std::string>& arguments) {
    ParseResult parsed;
    Invocation invocation;
    bool help = false;
    bool version = false;
    bool optionsEnded = false;
    std::vector<std::string> positional;

    auto fail = [&](std::string error) {
        parsed.error = std::move(error);
        if (!positional.empty()) parsed.command = findCommand(positional.front());
        return parsed;
    };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            positional.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        std::string_view name = argument;
        std::optional<std::string> inlineValue;
        if (argument == "-h") {
            name = "--help";
        } else if (const auto equals = argument.find('='); argument.starts_with("--") &&
                                                           equals != std::string::npos) {
            name = std::string_view(argument).substr(0, equals);
            inlineValue = argument.substr(equals + 1);
        }
        const OptionDef* known = nullptr;
        for (const OptionDef& option : kOptions)
            if (option.name == name) known = &option;
        if (!known) return fail("unknown option '" + std::string(name) + "'");
        std::string value;
        if (known->takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                return fail("option " + std::string(name) + " needs a value");
            }
        } else if (inlineValue) {
            return fail("option " + std::string(name) + " takes no value");
        }
        if (std::string error = applyOption(name, value, invocation.options, help, version);
            !error.empty())
            return fail(error);
    }

    // --version wins over the command and its arguments, as in other tools.
    if (version) {
        invocation.help = Help::Version;
        parsed.invocation = invocation;
        return parsed;
    }

    invocation.help = help ? Help::Program : Help::None;
    if (positional.empty()) {
        if (!help) return fail("no command given");
        parsed.invocation = invocation;
        return parsed;
    }
    if (positional.front() == "help") {
        if (positional.size() > 2) return fail("help takes at most one command");
        // "help help" and "help --help" describe help itself, as "paths --help" does paths.
        const std::string topic = positional.size() == 2 ? positional[1] : std::string();
        if (topic == "help" || (topic.empty() && help)) {
            invocation.help = Help::HelpCommand;
        } else if (topic.empty()) {
            invocation.help = Help::Program;
        } else {
            invocation.command = findCommand(topic);
            if (!invocation.command) return fail("unknown command '" + topic + "'");
            invocation.help = Help::Command;
        }
        parsed.invocation = invocation;
        return parsed;
    }
    invocation.command = findCommand(positional.front());
    if (!invocation.command) return fail("unknown command '" + positional.front() + "'");
    if (help) {
        invocation.help = Help::Command;
        parsed.invocation = invocation;
        return parsed;
    }
    const CommandInfo& command = *invocation.command;
    const std::size_t given = positional.size() - 1;
    if (command.argument) {
        if (given != 1)
            return fail(std::string(command.name) + " needs exactly one argument, " +
                        command.argument + ", but " + std::to_string(given) +
                        (given == 1 ? " was" : " were") + " given");
        if (positional[1].empty())
            return fail(std::string(command.name) + ": " + command.argument + " is empty");
        invocation.argument = positional[1];
    } else if (given != 0) {
        return fail(std::string(command.name) + " takes no arguments, but " +
                    std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    }
    parsed.invocation = invocation;
    return parsed;
}

std::string programHelp(const std::string& chosenPlugin, const DefaultPlugin& defaults) {
    std::ostringstream out;
    out << "Usage: mpioctl [OPTIONS] COMMAND [ARGUMENT]\n"
           "\n"
           "Loads a multipath-I/O vendor plug-in and calls its entry points as a host\n"
           "application does, with the host stand-in providing the host services.\n"
           "\n"
           "Commands:\n";
    for (const CommandInfo& command : kCommands) {
        std::string name = synopsis(command);
        name.resize(std::max<std::size_t>(name.size(), 18), ' ');
        std::string line = "  " + name + "  " + command.summary;
        const std::string entryPoint = std::string("(") + command.entryPoint + ")";
        if (line.size() + 1 + entryPoint.size() > 79)
            line += "\n" + std::string(22, ' ');
        else
            line += ' ';
        out << line << entryPoint << '\n';
    }
    out << "  help [COMMAND]      this text, or the help of one command\n"
           "\n"
           "Options, before or after the command:\n"
           "  --plugin PATH       the plug-in to load; without it, the one that the\n"
           "                      environment variable "
        << kPluginEnvironmentVariable
        << " names, else\n"
           "                      "
        << defaults.fromProgramDir
        << "\n"
           "                      from mpioctl's own directory, or when that cannot be\n"
           "                      learnt (no /proc):\n"
           "                      "
        << defaults.whenProgramUnknown
        << "\n"
           "                      This run: "
        << mpio::process::escaped(chosenPlugin)
        << "\n"
           "  --json              print one JSON document on standard output, failures\n"
           "                      included; usage errors still go to standard error. Its\n"
           "                      schemaVersion is "
        << kJsonSchemaVersion
        << "; its ok is true exactly when the exit\n"
           "                      status is 0. A JSON Schema for each command's document\n"
           "                      is installed in share/tmmpio/schemas\n"
           "  --log LEVEL         show the host debug log on standard error, entries of\n"
           "                      LEVEL and up, one line each (control characters\n"
           "                      escaped as \\n, \\t, \\xNN; a backslash as \\\\); LEVEL\n"
           "                      is debug, info, warning or error, or its number\n"
           "                      -1, 0, 1 or 2 (the plug-in logs at info and debug)\n"
           "  --no-headings       print tables without their heading line\n"
           "  --raw               print tables as tab-separated fields, for scripts\n"
           "  --timeout SECONDS   bound every command that the plug-in runs; default: "
        << kDefaultTimeoutSeconds
        << ",\n"
           "                      0: no bound, at most "
        << INT_MAX
        << "\n"
           "  -h, --help          this text; after a command, that command's help\n"
           "  --version           the version of mpioctl\n"
           "  --                  end of the options: an argument after it that starts\n"
           "                      with '-' is taken as a PATH or NAME\n"
           "\n"
           "paths, partitions, is-partition and inventory call init first (see their\n"
           "help). The paths that the plug-in returns are the active and the passive\n"
           "ones, alive or dead; standby and unlicensed paths are not returned, and a\n"
           "path's state is not part of the plug-in's interface.\n"
           "devices, paths and partitions take lists of up to "
        << kMaxEntries
        << " entries, as far as\n"
           "memory allows (about 1 KiB each).\n"
           "Before every call the error code and the error buffer are cleared, so that\n"
           "a failure can be told from untouched buffers; on a failure the plug-in's\n"
           "error code and text are shown on standard error (in the JSON document with\n"
           "--json).\n"
           "In text output, --raw rows and messages, control characters in names and\n"
           "texts are escaped as in the host log (\\n, \\t, \\xNN, a backslash as \\\\), so\n"
           "that none reaches the terminal and a row keeps its fields; --json keeps the\n"
           "texts as they are, in JSON's escapes.\n"
           "The plug-in is loaded only when no one but root and the caller could\n"
           "replace it: the file and every directory above it must be owned by root or\n"
           "the caller and not writable by group or others (a sticky directory of\n"
           "root, such as /tmp, is accepted above a directory); otherwise mpioctl names\n"
           "what failed and exits with status 3.\n"
           "\n"
        << kExitStatusText;
    return out.str();
}

std::string commandHelp(const CommandInfo& command) {
    std::ostringstream out;
    out << "Usage: mpioctl [OPTIONS] " << synopsis(command) << "\n\n"
        << command.details << "\n\n"
        << "Options, before or after the command:\n";
    for (const CommandOption& option : kCommandOptions) {
        if (option.tablesOnly && !printsTables(command)) continue;
        std::string name = option.synopsis;
        name.resize(std::max<std::size_t>(name.size(), 18), ' ');
        out << "  " << name << "  " << option.summary << '\n';
    }
    out << '\n' << kExitStatusText;
    return out.str();
}

std::string helpCommandHelp() {
    return "Usage: mpioctl help [COMMAND]\n"
           "\n"
           "Prints the commands and options of mpioctl, as mpioctl --help does, or the\n"
           "help of COMMAND: what it does, the options that apply to it and the exit\n"
           "statuses. mpioctl help help prints this text. No plug-in is loaded.\n"
           "\n"
           "Exit status:\n"
           "  0   the help was printed\n"
           "  64  usage error: an unknown COMMAND, or more than one\n"
           "  74  the output could not be written (a full disk)\n";
}

std::string versionText() {
    return "mpioctl (TmMPIO_EMCPowerPath) " TMMPIO_VERSION_STRING "\n";
}

std::string usageMessage(const ParseResult& failed) {
    std::string text = "mpioctl: " + mpio::process::escaped(failed.error) + "\n";
    if (failed.command)
        text += "Usage: mpioctl [OPTIONS] " + synopsis(*failed.command) +
                "\nTry 'mpioctl help " + failed.command->name + "'.\n";
    else
        text += "Usage: mpioctl [OPTIONS] COMMAND [ARGUMENT]\nTry 'mpioctl --help'.\n";
    return text;
}

} // namespace mpioctl
