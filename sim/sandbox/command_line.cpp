// SPDX-License-Identifier: Apache-2.0
// mpio-sandbox's command line: its options, and the hidden modes in which it
// starts itself.
#include "sandbox/command_line.h"

#include "machine/checked_files.h"
#include "sandbox/cleanup_guard.h"
#include "sandbox/namespace_init.h"
#include "sandbox/topology_generator.h"

#include <unistd.h>

#include <cstdio>

namespace sim {

const char* const kSandboxUsage =
    "usage: mpio-sandbox --topology FILE [--keep-state DIR] [--powermt PROGRAM] [--root DIR] [--] COMMAND [ARG...]\n"
    "       mpio-sandbox --generate DESCRIPTION [--output FILE]\n"
    "Runs COMMAND in private mount and PID namespaces that show the simulated PowerPath machine of FILE:\n"
    "/proc/partitions, /proc/devices, the nodes in /dev and `powermt` first on PATH.\n"
    "  --keep-state DIR   keep the state (images, saved configuration) in DIR, which must be\n"
    "                     empty or not exist; without it a temporary directory is removed\n"
    "  --powermt PROGRAM  the simulator to run as powermt (default: powermt-sim beside mpio-sandbox)\n"
    "  --root DIR         run COMMAND with DIR as its root file system (pivot_root), say a distribution's\n"
    "                     root unpacked from an image; the simulated /dev, /proc and powermt are laid\n"
    "                     over its /dev, /proc and /run (powermt in /run/mpio-sandbox/bin, the state in\n"
    "                     /run/mpio-sandbox/state). DIR needs /bin/sh and the directories /dev, /proc and\n"
    "                     /run; nothing is created in it, and nothing stays mounted afterwards\n"
    "--generate writes the topology that DESCRIPTION describes (keys devices=N, and optionally paths=,\n"
    "partitions=, arrays=symmetrix:N+clariion:N+vnx:N, dead=SHARE, standby=SHARE, seed=, size=)\n"
    "to standard output or FILE; exit status 2 for a bad DESCRIPTION.\n"
    "Exit status: that of COMMAND (128 + N when signal N ended it); 125 when the sandbox\n"
    "cannot be made, 126 when COMMAND cannot be run, 127 when it is not found.\n";

namespace {

// Whether arg is the option `name`, alone or as "name=value".
bool isOption(const std::string& arg, const std::string& name) { return arg == name || arg.rfind(name + "=", 0) == 0; }

// The value of the option `name` at args[i]: after its '=', or the next
// argument (then i moves onto it).
std::string optionValue(const std::vector<std::string>& args, std::size_t& i, const std::string& name) {
    const std::string& arg = args[i];
    if (arg.size() > name.size()) return arg.substr(name.size() + 1);
    if (i + 1 >= args.size() || args[i + 1].empty()) throw std::invalid_argument(name + " needs a value");
    return args[++i];
}

} // namespace

SandboxOptions parseSandboxArgs(const std::vector<std::string>& args) {
    SandboxOptions o;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (isOption(arg, "--topology"))
            o.topologyFile = optionValue(args, i, "--topology");
        else if (isOption(arg, "--keep-state"))
            o.keepState = optionValue(args, i, "--keep-state");
        else if (isOption(arg, "--powermt"))
            o.powermtProgram = optionValue(args, i, "--powermt");
        else if (isOption(arg, "--root"))
            o.root = optionValue(args, i, "--root");
        else if (arg.rfind("-", 0) == 0)
            throw std::invalid_argument("unknown option " + arg);
        else
            break;
    }
    o.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (o.topologyFile.empty()) throw std::invalid_argument("--topology FILE is required");
    if (o.command.empty()) throw std::invalid_argument("no command given");
    return o;
}

int generateCommand(const std::vector<std::string>& args) {
    std::string machine, output;
    try {
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (isOption(args[i], "--generate"))
                machine = optionValue(args, i, "--generate");
            else if (isOption(args[i], "--output"))
                output = optionValue(args, i, "--output");
            else
                throw std::invalid_argument("--generate takes only --output FILE, not " + args[i]);
        }
        if (machine.empty()) throw std::invalid_argument("--generate needs a DESCRIPTION");
        const std::string text = generateTopology(parseMachineDescription(machine));
        if (output.empty()) {
            if (const int error = mpio::process::writeAll(STDOUT_FILENO, text))
                throw SysError("cannot write the topology", error);
        } else {
            writeUserFile(output, text);
        }
        return 0;
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "mpio-sandbox: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mpio-sandbox: %s\n", e.what());
        return 1;
    }
}

namespace process = mpio::process;

process::Launch sharingStreams(std::vector<std::string> argv) {
    process::Launch launch;
    launch.argv = std::move(argv);
    launch.input = process::Input::Inherit;
    launch.output = process::Sink::Inherit;
    launch.errors = process::Sink::Inherit;
    launch.ownProcessGroup = false;
    return launch;
}

process::Launch launchSelf(std::string_view mode, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"mpio-sandbox", std::string(mode)};
    argv.insert(argv.end(), args.begin(), args.end());
    process::Launch launch = sharingStreams(std::move(argv));
    launch.program = "/proc/self/exe";
    return launch;
}

std::optional<int> runHiddenMode(const std::vector<std::string>& args) {
    if (args.empty()) return std::nullopt;
    if (args[0] == kInitMode) return namespaceInitMain(args);
    if (args[0] == kCleanupGuardMode) return cleanupGuardMain();
    return std::nullopt;
}

} // namespace sim
