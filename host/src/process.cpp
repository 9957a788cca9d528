// SPDX-License-Identifier: Apache-2.0
// TmProcess::system: /bin/sh -c command through the process runner, with
// the host's result codes and failure texts. See tmhost/TmHost.h for the
// contract.
#include <chrono>
#include <new>
#include <string>

#include "TmHostServices.h"
#include "internal.h"
#include "mpio/process.h"
#include "tmhost/TmHost.h"

namespace {

namespace process = mpio::process;
using tmhost::detail::errnoText;

int fail(std::string* error, int result, const std::string& text) {
    if (error) *error = text;
    return result;
}

// The runner's outcome as the host's result, and how the run ended.
int resultOf(const process::Result& r, int limit, std::string& how) {
    switch (r.outcome) {
    case process::Outcome::Exited: how = "exit status " + std::to_string(r.code); return r.code;
    case process::Outcome::Signalled:
        how = "killed by signal " + std::to_string(r.code) + " (" + tmhost::detail::signalText(r.code) + ")";
        return tmhost::kKilledBySignal + r.code;
    case process::Outcome::TimedOut:
        how = "timed out after " + std::to_string(limit) + " s; process group killed";
        return tmhost::kTimedOut;
    case process::Outcome::NoPipe: how = "could not create a pipe: " + errnoText(r.code); return tmhost::kCaptureFailed;
    case process::Outcome::NotStarted:
        how = "could not start /bin/sh: " + errnoText(r.code);
        return tmhost::kSpawnFailed;
    case process::Outcome::CaptureFailed:
        how = std::string(r.call) + " failed while capturing output: " + errnoText(r.code);
        return tmhost::kCaptureFailed;
    case process::Outcome::StatusLost: break;
    }
    how = "exit status lost: the shell was reaped elsewhere (is SIGCHLD ignored?)";
    return tmhost::kCaptureFailed;
}

int run(const char* command, std::string* output, std::string* error, int limit, bool merge) {
    process::Launch launch = process::shellCommand(command);
    launch.output = output ? process::Sink::Capture : process::Sink::Discard;
    launch.errors = merge ? process::Sink::IntoOutput : error ? process::Sink::Capture : process::Sink::Discard;
    if (limit > 0) launch.timeout = std::chrono::seconds(limit);
    launch.drainAfterKill = std::chrono::milliseconds(tmhost::kDrainAfterKillMs);

    process::Result r = process::run(launch);
    if (output) *output = std::move(r.out);
    if (error) *error = std::move(r.err);
    std::string how;
    const int result = resultOf(r, limit, how);
    if (result != 0 && error && error->empty()) *error = how;
    return result;
}

} // namespace

int TmProcess::system(const char* command, std::string* output, std::string* error, int timeoutSeconds,
                      bool mergeErrors) {
    if (output) output->clear();
    if (error) error->clear();
    if (output && output == error) { // one string for both: it takes both streams
        mergeErrors = true;
        error = nullptr;
    }
    if (!command) return fail(error, tmhost::kSpawnFailed, "no command given");
    const int limit = timeoutSeconds > 0 ? timeoutSeconds : timeoutSeconds == 0 ? tmhost::defaultTimeout() : 0;
    try {
        return run(command, output, error, limit, mergeErrors);
    } catch (const std::bad_alloc&) {
        // The shell was killed and reaped and every descriptor closed while
        // the exception left the runner; give the memory back before reporting.
        if (output) std::string().swap(*output);
        if (error) std::string().swap(*error);
        return fail(error, tmhost::kCaptureFailed, "out of memory while capturing output");
    }
}
