// SPDX-License-Identifier: Apache-2.0
#include "cli.h"

#include <getopt.h>

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

const char* const kExitStatusText = "Exit status:\n"
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

// The options, in the order that a command's help lists them. The long
// options without a letter have ids past every character, so that getopt's
// optopt tells them from an unknown letter.
enum OptionId : int {
    kHelpOption = 'h',
    kPluginOption = 256,
    kJsonOption,
    kLogOption,
    kTimeoutOption,
    kNoHeadingsOption,
    kRawOption,
    kVersionOption,
};

struct OptionInfo {
    const char* name; // the long name, without its dashes
    int hasArgument;  // no_argument or required_argument
    int id;
    const char* synopsis; // as a command's help shows it
    const char* summary;
    unsigned group; // the OptionGroups under which a command's help lists it
};

constexpr OptionInfo kOptions[] = {
    {"plugin", required_argument, kPluginOption, "--plugin PATH",
     "the plug-in to load (mpioctl --help names the default)", kCommonOptions},
    {"json", no_argument, kJsonOption, "--json", "print one JSON document instead of text", kCommonOptions},
    {"log", required_argument, kLogOption, "--log LEVEL", "show the host debug log from LEVEL up on standard error",
     kCommonOptions},
    {"timeout", required_argument, kTimeoutOption, "--timeout SECONDS",
     "bound every command the plug-in runs; default 60, 0: none", kCommonOptions},
    {"no-headings", no_argument, kNoHeadingsOption, "--no-headings", "print the table without its heading line",
     kTableOptions},
    {"raw", no_argument, kRawOption, "--raw", "print the table as tab-separated fields, for scripts", kTableOptions},
    {"help", no_argument, kHelpOption, "-h, --help", "this text", kCommonOptions},
    {"version", no_argument, kVersionOption, "--version", "the version of mpioctl", kNoOptionGroup},
};
static_assert(kDefaultTimeoutSeconds == 60, "the --timeout help names the default");

// kOptions as getopt_long takes them, ended by a zeroed entry.
constexpr auto kGetoptOptions = [] {
    std::array<option, std::size(kOptions) + 1> table{};
    for (std::size_t i = 0; i < std::size(kOptions); ++i)
        table[i] = {kOptions[i].name, kOptions[i].hasArgument, nullptr, kOptions[i].id};
    return table;
}();

// '-': each argument that is no option comes back in its place, as option 1,
// so that options may follow the command whatever POSIXLY_CORRECT says and
// nothing is reordered; ':': a missing value is told apart, and getopt
// prints nothing.
constexpr const char* kGetoptLetters = "-:h";

const OptionInfo* optionWithId(int id) {
    for (const OptionInfo& option : kOptions)
        if (option.id == id) return &option;
    return nullptr;
}

std::string longName(const OptionInfo& option) { return std::string("--") + option.name; }

// "--name" of "--name=value".
std::string_view optionPart(std::string_view argument) { return argument.substr(0, argument.find('=')); }

// The option with id that getopt found in the argument current; nullptr when
// there is none or when current gives a mere prefix of its name, which
// getopt_long accepts but mpioctl does not, so that an option added later
// never changes what a prefix meant.
const OptionInfo* wholeOption(std::string_view current, int id) {
    const OptionInfo* option = optionWithId(id);
    if (option && current.starts_with("--") && optionPart(current) != longName(*option)) return nullptr;
    return option;
}

// The refusal of the argument current, which holds no option that mpioctl
// knows: a long option as far as its '=', a cluster of letters (-xyz) whole.
std::string unknownOption(std::string_view current) {
    const std::string_view option = current.starts_with("--") ? optionPart(current) : current;
    return "unknown option '" + std::string(option) + "'";
}

// The arguments as getopt_long takes them: writable strings after the
// program's name, ended by a null pointer.
class ArgumentVector {
public:
    explicit ArgumentVector(const std::vector<std::string>& arguments) : strings_{"mpioctl"} {
        strings_.insert(strings_.end(), arguments.begin(), arguments.end());
        for (std::string& text : strings_) pointers_.push_back(text.data());
        pointers_.push_back(nullptr);
    }
    int count() const { return static_cast<int>(strings_.size()); }
    char** data() { return pointers_.data(); }
    // The argument at index, as getopt left the vector; empty past its end.
    std::string_view operator[](int index) const {
        return index < count() ? pointers_[static_cast<std::size_t>(index)] : "";
    }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

// "debug (-1), info (0), ..." for messages and help.
std::string logLevelList() {
    std::string text;
    for (const tmhost::LogLevelName& level : tmhost::logLevelNames())
        text += (text.empty() ? "" : ", ") + std::string(level.name) + " (" + std::to_string(level.level) + ")";
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
std::string applyOption(int id, const std::string& value, Options& options, bool& help, bool& version) {
    switch (id) {
    case kHelpOption: help = true; break;
    case kVersionOption: version = true; break;
    case kJsonOption: options.json = true; break;
    case kNoHeadingsOption: options.noHeadings = true; break;
    case kRawOption: options.raw = true; break;
    case kPluginOption:
        if (value.empty()) return "option --plugin needs a path";
        options.plugin = value;
        break;
    case kLogOption: {
        const std::optional<int> level = parseLogLevel(value);
        if (!level) return "option --log needs a level of the host log, " + logLevelList() + ", not '" + value + "'";
        options.logLevel = level;
        break;
    }
    case kTimeoutOption: {
        int seconds = 0;
        if (!parseInt(value, seconds) || seconds < 0)
            return "option --timeout needs a number of seconds from 0 to " + std::to_string(INT_MAX) + ", not '" +
                   value + "'";
        options.timeoutSeconds = seconds;
        break;
    }
    }
    return {};
}

} // namespace

ParseResult parseArguments(const std::vector<std::string>& arguments) {
    ParseResult parsed;
    Invocation invocation;
    bool help = false;
    bool version = false;
    std::vector<std::string> positional;

    auto fail = [&](std::string error) {
        parsed.error = std::move(error);
        if (!positional.empty()) parsed.command = findCommand(positional.front());
        return parsed;
    };

    ArgumentVector argv(arguments);
    opterr = 0;
    optind = 0; // 0, not 1: glibc then starts afresh, whatever an earlier scan left
    for (;;) {
        // The argument that this call reads: the option, or the cluster of
        // letters (-hh) that it is in.
        const std::string_view current = argv[std::max(optind, 1)];
        const int id = getopt_long(argv.count(), argv.data(), kGetoptLetters, kGetoptOptions.data(), nullptr);
        if (id == -1) break;
        if (id == 1) {
            positional.emplace_back(optarg);
            continue;
        }
        const bool refused = id == '?' || id == ':';
        const OptionInfo* option = wholeOption(current, refused ? optopt : id);
        if (!option) return fail(unknownOption(current));
        if (refused) return fail("option " + longName(*option) + (id == ':' ? " needs a value" : " takes no value"));
        if (std::string error = applyOption(id, optarg ? optarg : "", invocation.options, help, version);
            !error.empty())
            return fail(error);
    }
    // What follows "--" is no option, even when it starts with '-'.
    for (int i = optind; i < argv.count(); ++i) positional.emplace_back(argv[i]);

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
            return fail(std::string(command.name) + " needs exactly one argument, " + command.argument + ", but " +
                        std::to_string(given) + (given == 1 ? " was" : " were") + " given");
        if (positional[1].empty()) return fail(std::string(command.name) + ": " + command.argument + " is empty");
        invocation.argument = positional[1];
    } else if (given != 0) {
        return fail(std::string(command.name) + " takes no arguments, but " + std::to_string(given) +
                    (given == 1 ? " was" : " were") + " given");
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
    for (const CommandInfo& command : commandTable()) {
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
    for (const OptionInfo& option : kOptions) {
        if (!(option.group & command.options)) continue;
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

std::string versionText() { return "mpioctl (TmMPIO_EMCPowerPath) " TMMPIO_VERSION_STRING "\n"; }

std::string usageMessage(const ParseResult& failed) {
    std::string text = "mpioctl: " + mpio::process::escaped(failed.error) + "\n";
    if (failed.command)
        text += "Usage: mpioctl [OPTIONS] " + synopsis(*failed.command) + "\nTry 'mpioctl help " +
                failed.command->name + "'.\n";
    else
        text += "Usage: mpioctl [OPTIONS] COMMAND [ARGUMENT]\nTry 'mpioctl --help'.\n";
    return text;
}

} // namespace mpioctl
