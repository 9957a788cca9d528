// SPDX-License-Identifier: Apache-2.0
// Argument parsing: what each command line runs, and which ones are refused.
#include <gtest/gtest.h>

#include <cstdlib>

#include "cli.h"
#include "plugin.h"

namespace mpioctl {
namespace {

struct Accepted {
    std::vector<std::string> args;
    const char* command; // nullptr: program help
    Help help;
    std::string argument;
    std::optional<std::string> plugin;
    bool json;
    std::optional<int> log;
    std::optional<int> timeout;
};

TEST(ParseArguments, AcceptsCommandsWithOptionsAnywhere) {
    const Accepted cases[] = {
        {{"devices"}, "devices", Help::None, "", {}, false, {}, {}},
        {{"--json", "devices"}, "devices", Help::None, "", {}, true, {}, {}},
        {{"devices", "--json"}, "devices", Help::None, "", {}, true, {}, {}},
        {{"--plugin", "/p.so", "vendor"}, "vendor", Help::None, "", "/p.so", false, {}, {}},
        {{"vendor", "--plugin=/q.so", "--plugin", "/r.so"}, "vendor", Help::None, "", "/r.so",
         false, {}, {}},
        {{"--log", "-1", "init"}, "init", Help::None, "", {}, false, -1, {}},
        {{"init", "--log=2"}, "init", Help::None, "", {}, false, 2, {}},
        {{"--log", "debug", "init"}, "init", Help::None, "", {}, false, -1, {}},
        {{"--log=info", "init"}, "init", Help::None, "", {}, false, 0, {}},
        {{"--log", "warning", "init"}, "init", Help::None, "", {}, false, 1, {}},
        {{"--log", "error", "inventory"}, "inventory", Help::None, "", {}, false, 2, {}},
        {{"--timeout", "30", "refresh"}, "refresh", Help::None, "", {}, false, {}, 30},
        {{"--timeout=+0", "refresh"}, "refresh", Help::None, "", {}, false, {}, 0},
        {{"--timeout=2147483647", "refresh"}, "refresh", Help::None, "", {}, false, {}, 2147483647},
        {{"is-mpio", "/dev/emcpowera"}, "is-mpio", Help::None, "/dev/emcpowera", {}, false, {}, {}},
        {{"is-partition", "--json", "/dev/emcpowera1"}, "is-partition", Help::None,
         "/dev/emcpowera1", {}, true, {}, {}},
        {{"delete", "--", "--json"}, "delete", Help::None, "--json", {}, false, {}, {}},
        {{"paths", "-"}, "paths", Help::None, "-", {}, false, {}, {}},
        {{"help"}, nullptr, Help::Program, "", {}, false, {}, {}},
        {{"-h"}, nullptr, Help::Program, "", {}, false, {}, {}},
        {{"help", "partitions"}, "partitions", Help::Command, "", {}, false, {}, {}},
        {{"help", "help"}, nullptr, Help::HelpCommand, "", {}, false, {}, {}},
        {{"help", "--help"}, nullptr, Help::HelpCommand, "", {}, false, {}, {}},
        {{"--help", "help"}, nullptr, Help::HelpCommand, "", {}, false, {}, {}},
        {{"partitions", "--help"}, "partitions", Help::Command, "", {}, false, {}, {}},
        {{"is-mpio", "-h"}, "is-mpio", Help::Command, "", {}, false, {}, {}},
        {{"--version"}, nullptr, Help::Version, "", {}, false, {}, {}},
        {{"paths", "/dev/x", "--version"}, nullptr, Help::Version, "", {}, false, {}, {}},
    };
    for (const Accepted& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ParseResult parsed = parseArguments(c.args);
        ASSERT_TRUE(parsed.invocation) << parsed.error;
        const Invocation& inv = *parsed.invocation;
        EXPECT_EQ(inv.help, c.help);
        if (c.command) {
            ASSERT_NE(inv.command, nullptr);
            EXPECT_STREQ(inv.command->name, c.command);
        } else {
            EXPECT_EQ(inv.command, nullptr);
        }
        EXPECT_EQ(inv.argument, c.argument);
        EXPECT_EQ(inv.options.plugin, c.plugin);
        EXPECT_EQ(inv.options.json, c.json);
        EXPECT_EQ(inv.options.logLevel, c.log);
        EXPECT_EQ(inv.options.timeoutSeconds, c.timeout);
    }
}

struct Refused {
    std::vector<std::string> args;
    std::string error;
    const char* context; // the command that the usage message names
};

TEST(ParseArguments, RefusesBadOptionsAndArguments) {
    const Refused cases[] = {
        {{}, "no command given", nullptr},
        {{"--json"}, "no command given", nullptr},
        {{"frobnicate"}, "unknown command 'frobnicate'", nullptr},
        {{"--frob", "devices"}, "unknown option '--frob'", nullptr},
        {{"-x", "devices"}, "unknown option '-x'", nullptr},
        {{"-hx", "devices"}, "unknown option '-hx'", nullptr},
        // A prefix of a long option is no option, so that a new one never changes its meaning.
        {{"--js", "devices"}, "unknown option '--js'", nullptr},
        {{"paths", "--plug=/p.so", "/dev/x"}, "unknown option '--plug'", "paths"},
        {{"devices", "--plugin"}, "option --plugin needs a value", "devices"},
        {{"--plugin=", "vendor"}, "option --plugin needs a path", nullptr},
        {{"--log", "high", "init"},
         "needs a level of the host log, debug (-1), info (0), warning (1), error (2), not 'high'",
         nullptr},
        // No entry has a level outside debug..error, so none would be shown.
        {{"--log", "3", "init"}, "not '3'", nullptr},
        {{"--log", "-2", "init"}, "not '-2'", nullptr},
        {{"--log", "Error", "init"}, "not 'Error'", nullptr},
        {{"inventory", "extra"}, "inventory takes no arguments, but 1 was given", "inventory"},
        {{"--log", "", "init"}, "not ''", nullptr},
        {{"--timeout", "-3", "init"}, "seconds from 0 to 2147483647, not '-3'", nullptr},
        {{"--timeout", "99999999999", "init"}, "seconds from 0 to 2147483647, not '99999999999'",
         nullptr},
        {{"--timeout", "2147483648", "init"}, "not '2147483648'", nullptr},
        {{"--timeout", "5s", "init"}, "not '5s'", nullptr},
        {{"--timeout", "+-5", "init"}, "not '+-5'", nullptr},
        {{"--json=yes", "devices"}, "option --json takes no value", nullptr},
        {{"--version=2"}, "option --version takes no value", nullptr},
        {{"is-mpio"}, "is-mpio needs exactly one argument, PATH, but 0 were given", "is-mpio"},
        {{"paths", "/a", "/b"}, "paths needs exactly one argument, PATH, but 2 were given",
         "paths"},
        {{"delete", ""}, "delete: NAME is empty", "delete"},
        {{"devices", "extra"}, "devices takes no arguments, but 1 was given", "devices"},
        {{"help", "nope"}, "unknown command 'nope'", nullptr},
        {{"help", "paths", "devices"}, "help takes at most one command", nullptr},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ParseResult parsed = parseArguments(c.args);
        EXPECT_FALSE(parsed.invocation);
        EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
        const std::string usage = usageMessage(parsed);
        EXPECT_EQ(usage.rfind("mpioctl: " + parsed.error + "\n", 0), 0u) << usage;
        if (c.context) {
            ASSERT_NE(parsed.command, nullptr);
            EXPECT_STREQ(parsed.command->name, c.context);
            EXPECT_NE(usage.find("Try 'mpioctl help " + std::string(c.context) + "'"),
                      std::string::npos);
        } else {
            EXPECT_NE(usage.find("Try 'mpioctl --help'"), std::string::npos);
        }
    }
}

// Options after the command whatever the environment asks of getopt.
TEST(ParseArguments, OptionsFollowTheCommandUnderPosixlyCorrect) {
    ASSERT_EQ(setenv("POSIXLY_CORRECT", "1", 1), 0);
    const ParseResult parsed = parseArguments({"paths", "/dev/x", "--json"});
    unsetenv("POSIXLY_CORRECT");
    ASSERT_TRUE(parsed.invocation) << parsed.error;
    EXPECT_TRUE(parsed.invocation->options.json);
    EXPECT_EQ(parsed.invocation->argument, "/dev/x");
}

TEST(Help, ProgramHelpNamesEveryCommandAndExitStatus) {
    const std::string help = programHelp("/built/libTmMPIO_EMCPowerPath.so",
                                         {"../lib/tmmpio/libTmMPIO_EMCPowerPath.so",
                                          "/usr/lib/tmmpio/libTmMPIO_EMCPowerPath.so"});
    for (const CommandInfo& command : commandTable()) {
        EXPECT_NE(help.find(std::string("  ") + command.name), std::string::npos) << command.name;
        EXPECT_NE(help.find(command.entryPoint), std::string::npos) << command.entryPoint;
        EXPECT_NE(commandHelp(command).find(std::string("Usage: mpioctl [OPTIONS] ") +
                                            command.name),
                  std::string::npos);
    }
    EXPECT_NE(help.find("/built/libTmMPIO_EMCPowerPath.so"), std::string::npos);
    for (const char* stated : {"lists of up to 1048576 entries", "default: 60,", "at most 2147483647"})
        EXPECT_NE(help.find(stated), std::string::npos) << stated;
    for (const char* status : {"  0   ", "  1   ", "  2   ", "  3   ", "  64  "})
        EXPECT_NE(help.find(status), std::string::npos) << status;
}

TEST(Help, CommandHelpListsOnlyTheOptionsThatApply) {
    for (const CommandInfo& command : commandTable()) {
        SCOPED_TRACE(command.name);
        const std::string help = commandHelp(command);
        for (const char* option : {"--plugin PATH", "--json", "--log LEVEL", "--timeout SECONDS", "--help"})
            EXPECT_NE(help.find(option), std::string::npos) << option;
        const std::string_view name = command.name;
        const bool tables = name == "partitions" || name == "inventory";
        for (const char* option : {"  --no-headings", "  --raw"})
            EXPECT_EQ(help.find(option) != std::string::npos, tables) << option;
    }
    const std::string helpOfHelp = helpCommandHelp();
    EXPECT_EQ(helpOfHelp.rfind("Usage: mpioctl help [COMMAND]\n", 0), 0u);
    EXPECT_EQ(helpOfHelp.find("--plugin"), std::string::npos);
}

TEST(ChoosePlugin, GivenThenEnvironmentThenBesideTheProgram) {
    const std::string fromBin = "../lib/tmmpio/libTmMPIO_EMCPowerPath.so";
    const std::string configured = "/usr/lib/tmmpio/libTmMPIO_EMCPowerPath.so";
    const struct {
        std::optional<std::string> given, environment;
        std::string executable, chosen;
        bool byDefault;
    } cases[] = {
        {"/g.so", "/e.so", "/usr/bin/mpioctl", "/g.so", false},
        {{}, "/e.so", "/usr/bin/mpioctl", "/e.so", false},
        {{}, "", "/usr/bin/mpioctl", "/usr/lib/tmmpio/libTmMPIO_EMCPowerPath.so", true},
        {{}, {}, "/opt/moved/bin/mpioctl", "/opt/moved/lib/tmmpio/libTmMPIO_EMCPowerPath.so", true},
        // Without its own path (no /proc), never a name for the current directory.
        {{}, {}, "", configured, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.executable + " " + c.given.value_or("-") + " " + c.environment.value_or("-"));
        const PluginChoice choice =
            choosePlugin({c.given, c.environment, c.executable, {fromBin, configured}});
        EXPECT_EQ(choice.path, c.chosen);
        EXPECT_EQ(choice.byDefault, c.byDefault);
    }
}

} // namespace
} // namespace mpioctl
