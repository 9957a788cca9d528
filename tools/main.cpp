// SPDX-License-Identifier: Apache-2.0
// mpioctl: loads a multipath-I/O vendor plug-in and calls its entry points as
// a host application does, with the host stand-in (TmHost) providing the
// host services that the plug-in binds when it is loaded.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "mpio/process.h"
#include "plugin.h"
#include "report.h"
#include "tmhost/TmHost.h"

namespace {

std::string executablePath() {
    std::vector<char> buffer(4096);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return {};
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

using mpio::process::writeAll;

// The signal state that mpioctl relies on, whatever its caller left: the
// runner reaps the commands that it starts, which an ignored SIGCHLD makes
// the kernel do instead; a write to a closed pipe fails with EPIPE, to be
// told from other write failures; and no signal is blocked, so that SIGINT or
// SIGTERM ends mpioctl and the SIGPIPE raised at a closed output does too.
// The dispositions of SIGINT, SIGHUP and the like stay as the caller chose
// (nohup, a background job).
void takeOverSignals() {
    mpio::process::setDisposition(SIGCHLD, SIG_DFL);
    mpio::process::setDisposition(SIGPIPE, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The end of a run whose reader has gone, as other tools end then: by
// SIGPIPE, without a message.
[[noreturn]] void endByClosedPipe() {
    mpio::process::setDisposition(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    _exit(128 + SIGPIPE);
}

// Prints the standard output of a run; a failure to write it (a full disk)
// replaces status.
int emit(const std::string& out, const std::string& err, int status) {
    writeAll(STDERR_FILENO, err);
    const int error = writeAll(STDOUT_FILENO, out);
    if (error == 0) return status;
    if (error == EPIPE) endByClosedPipe();
    writeAll(STDERR_FILENO, "mpioctl: cannot write the output: " + std::string(std::strerror(error)) + "\n");
    return mpioctl::kExitOutput;
}

int render(const mpioctl::Report& report, const mpioctl::Options& options) {
    std::ostringstream out;
    std::ostringstream err;
    // A stream that cannot grow would otherwise swallow std::bad_alloc and
    // leave the text cut short.
    out.exceptions(std::ios::badbit);
    err.exceptions(std::ios::badbit);
    if (options.json)
        mpioctl::renderJson(report, out);
    else
        mpioctl::renderText(report, out, err, {!options.noHeadings, options.raw});
    return emit(out.str(), err.str(), report.exitStatus);
}

// Prints the report; when memory does not suffice for its text, a report of
// that failure instead, and when not even for that, a fixed message.
int finish(const mpioctl::Report& report, const mpioctl::Options& options) {
    try {
        return render(report, options);
    } catch (const std::bad_alloc&) {
    }
    try {
        mpioctl::Report failed;
        failed.command = report.command;
        failed.plugin = report.plugin;
        failed.argument = report.argument;
        failed.exitStatus = mpioctl::kExitFailure;
        failed.failure =
            mpioctl::Problem{{}, std::nullopt, std::nullopt, std::nullopt, "out of memory while writing the output"};
        return render(failed, options);
    } catch (const std::bad_alloc&) {
        writeAll(STDERR_FILENO, "mpioctl: out of memory\n");
        return mpioctl::kExitFailure;
    }
}

// Progress of a long command on standard error, when that is a terminal and
// the command has run for more than a second; at most ten updates a second.
mpioctl::Progress terminalProgress(const std::string& what) {
    if (!::isatty(STDERR_FILENO)) return {};
    using Clock = std::chrono::steady_clock;
    struct State {
        Clock::time_point start = Clock::now();
        Clock::time_point shown{};
        bool showing = false;
    };
    auto state = std::make_shared<State>();
    return [state, what](std::size_t done, std::size_t total) {
        const Clock::time_point now = Clock::now();
        if (done == total) {
            if (state->showing) writeAll(STDERR_FILENO, "\r\x1b[K");
            return;
        }
        if (now - state->start < std::chrono::seconds(1) || now - state->shown < std::chrono::milliseconds(100)) return;
        state->shown = now;
        state->showing = true;
        writeAll(STDERR_FILENO,
                 "\rmpioctl: " + what + ": " + std::to_string(done) + " of " + std::to_string(total) + " devices");
    };
}

} // namespace

int main(int argc, char** argv) {
    using namespace mpioctl;
    takeOverSignals();
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const ParseResult parsed = parseArguments(arguments);
    if (!parsed.invocation) {
        writeAll(STDERR_FILENO, usageMessage(parsed));
        return kExitUsage;
    }
    const Invocation& invocation = *parsed.invocation;
    const DefaultPlugin defaults{MPIOCTL_PLUGIN_FROM_BINDIR, MPIOCTL_INSTALLED_PLUGIN};
    const PluginChoice plugin = choosePlugin(
        {invocation.options.plugin, environmentValue(kPluginEnvironmentVariable), executablePath(), defaults});
    const std::string& pluginPath = plugin.path;

    switch (invocation.help) {
    case Help::None: break;
    case Help::Version: return emit(versionText(), {}, kExitOk);
    case Help::Command: return emit(commandHelp(*invocation.command), {}, kExitOk);
    case Help::HelpCommand: return emit(helpCommandHelp(), {}, kExitOk);
    case Help::Program: return emit(programHelp(pluginPath, defaults), {}, kExitOk);
    }

    // The host's log is shown only when asked for, whatever the stand-in's default.
    std::string logError;
    const bool logReady =
        invocation.options.logLevel
            ? tmhost::configureLog(tmhost::LogSink::StandardError, *invocation.options.logLevel, {}, &logError)
            : tmhost::configureLog(tmhost::LogSink::Off, 0, {}, &logError);
    if (!logReady)
        return finish(setupFailure(invocation, pluginPath, {"cannot set up the host log: " + logError}),
                      invocation.options);
    tmhost::setDefaultTimeout(invocation.options.timeoutSeconds.value_or(kDefaultTimeoutSeconds));

    LoadResult loaded = loadPlugin(pluginPath);
    if (!loaded.plugin) {
        if (plugin.byDefault)
            loaded.errors.push_back("name the plug-in to load with --plugin PATH or " +
                                    std::string(kPluginEnvironmentVariable));
        return finish(setupFailure(invocation, pluginPath, loaded.errors), invocation.options);
    }
    return finish(runCommand(invocation, loaded.plugin->entryPoints(), pluginPath, {},
                             terminalProgress(invocation.command->name)),
                  invocation.options);
}
