// mpioctl: loads a multipath-I/O vendor plug-in and calls its entry points as
// a host application does, with the host stand-in (TmHost) providing the
// host services that the plug-in binds when it is loaded.
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
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

int finish(const mpioctl::Report& report, bool json) {
    if (json)
        mpioctl::renderJson(report, std::cout);
    else
        mpioctl::renderText(report, std::cout, std::cerr);
    std::cout.flush();
    return std::cout ? report.exitStatus : mpioctl::kExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    using namespace mpioctl;
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const ParseResult parsed = parseArguments(arguments);
    if (!parsed.invocation) {
        std::cerr << usageMessage(parsed);
        return kExitUsage;
    }
    const Invocation& invocation = *parsed.invocation;
    const std::string installedPlugin = std::string(MPIOCTL_PLUGIN_FROM_BINDIR) + "/" + kPluginFileName;
    const std::string pluginPath = choosePluginPath({invocation.options.plugin,
                                                     environmentValue(kPluginEnvironmentVariable),
                                                     executablePath(), MPIOCTL_PLUGIN_FROM_BINDIR,
                                                     MPIOCTL_BUILD_BINDIR, MPIOCTL_BUILT_PLUGIN});

    switch (invocation.help) {
    case Help::None: break;
    case Help::Version: std::cout << versionText(); return kExitOk;
    case Help::Command: std::cout << commandHelp(*invocation.command); return kExitOk;
    case Help::Program: std::cout << programHelp(pluginPath, installedPlugin); return kExitOk;
    }

    // The host's log is shown only when asked for, whatever the stand-in's default.
    std::string logError;
    const bool logReady =
        invocation.options.logLevel
            ? tmhost::configureLog(tmhost::LogSink::StandardError, *invocation.options.logLevel,
                                   {}, &logError)
            : tmhost::configureLog(tmhost::LogSink::Off, 0, {}, &logError);
    if (!logReady)
        return finish(setupFailure(invocation, pluginPath,
                                   {"cannot set up the host log: " + logError}),
                      invocation.options.json);
    tmhost::setDefaultTimeout(invocation.options.timeoutSeconds.value_or(kDefaultTimeoutSeconds));

    const LoadResult loaded = loadPlugin(pluginPath);
    if (!loaded.plugin)
        return finish(setupFailure(invocation, pluginPath, loaded.errors), invocation.options.json);
    return finish(runCommand(invocation, loaded.plugin->entryPoints(), pluginPath),
                  invocation.options.json);
}
