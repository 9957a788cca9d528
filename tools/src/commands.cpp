// SPDX-License-Identifier: Apache-2.0
#include "commands.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "mpio/process.h"

namespace mpioctl {

namespace {

// Longest vendor name read; the plug-in's is a short static text.
constexpr std::size_t kMaxVendorName = 4096;

// An error code and error buffer, cleared for one call.
struct ErrorOut {
    int err = 0;
    char errbuf[MAXMPIOERRORLEN] = {};

    CallReport report(int result) const { return {result, err, errorText(errbuf)}; }
};

// Error texts often end in the newline of the failed command's output.
std::string withoutTrailingNewlines(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

Problem problemOf(const std::string& entryPoint, std::optional<int> result,
                  const CallReport& call, std::string message) {
    Problem problem{entryPoint, result, std::nullopt, std::nullopt, std::move(message)};
    if (call.codeWritten()) problem.code = call.code;
    if (!call.text.empty()) problem.text = withoutTrailingNewlines(call.text);
    return problem;
}

// Why a path cannot be examined, when stat(2) says so; empty when it can.
std::string whyUnexaminable(const std::string& path) {
    struct stat node {};
    if (::stat(path.c_str(), &node) == 0) return {};
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return path + " does not exist";
    return "cannot examine " + path + ": " + std::strerror(error);
}

void fail(Report& report, Problem problem) {
    report.failure = std::move(problem);
    report.exitStatus = kExitFailure;
}

// A successful call that still left an error behind is shown as a warning.
void warnIfErrorLeft(Report& report, const std::string& entryPoint, const CallReport& call,
                     const std::string& why) {
    if (call.errorWritten())
        report.warnings.push_back(problemOf(entryPoint, call.result, call,
                                            entryPoint + " succeeded but left an error: " + why));
}

// Calls init; on failure the problem, else the vendor name that it returned.
std::optional<Problem> callInit(const EntryPoints& api, std::string* vendor) {
    ErrorOut out;
    const char* name = api.init(nullptr, &out.err, out.errbuf);
    if (!name)
        return problemOf("init", std::nullopt, out.report(0),
                         "init failed (it returned null): the plug-in could not set itself up "
                         "(PowerPath: no PowerPath device class in /proc/devices)");
    if (vendor) *vendor = std::string(name, strnlen(name, kMaxVendorName));
    return std::nullopt;
}

// Ends the report with why a negotiation with entryPoint did not complete.
template <typename Listed>
void failNegotiation(Report& report, const std::string& entryPoint, const Listed& listed) {
    const std::string why = listed.outcome == Outcome::Failed
                                ? entryPoint + " failed with result " + std::to_string(listed.last.result)
                                : entryPoint + ": " + listed.problem;
    fail(report, problemOf(entryPoint, listed.last.result, listed.last, why));
}

void runVendor(const EntryPoints& api, Report& report) {
    const char* name = api.getVendorName();
    if (!name) {
        fail(report, {"getVendorName", std::nullopt, std::nullopt, std::nullopt,
                      "getVendorName returned null"});
        return;
    }
    report.vendor = std::string(name, strnlen(name, kMaxVendorName));
}

void runInit(const EntryPoints& api, Report& report) {
    std::string vendor;
    if (auto problem = callInit(api, &vendor)) return fail(report, std::move(*problem));
    report.vendor = vendor;
}

// getMPIODevices with capacity negotiation; when it does not complete the
// report says why and there is no list.
std::optional<std::vector<std::string>> listDevices(const EntryPoints& api, const Limits& limits,
                                                    Report& report) {
    const PathListResult listed = negotiatePathList(
        [&](char** buffers, int* count, int* err, char* errbuf) {
            return api.getMPIODevices(nullptr, buffers, count, err, errbuf);
        },
        limits);
    if (listed.outcome != Outcome::Complete)
        {
        failNegotiation(report, "getMPIODevices", listed);
        return std::nullopt;
    }
    warnIfErrorLeft(report, "getMPIODevices", listed.last, "its list may be incomplete");
    return listed.paths;
}

void runDevices(const EntryPoints& api, const Limits& limits, Report& report) {
    const auto listed = listDevices(api, limits, report);
    if (!listed) return;
    // An empty list is also what a machine without PowerPath gives; init tells
    // the two apart by the PowerPath device class.
    if (listed->empty()) {
        if (auto problem = callInit(api, nullptr)) {
            problem->message = "no PowerPath on this machine: no pseudo device listed, and " +
                               problem->message;
            return fail(report, std::move(*problem));
        }
    }
    report.paths = *listed;
}

void runIsMpio(const EntryPoints& api, Report& report) {
    ErrorOut out;
    const int result = api.isMPIODevice(nullptr, report.argument.c_str(), &out.err, out.errbuf);
    const CallReport call = out.report(result);
    // Its "no" is also its answer for a path that does not exist.
    if (result == 0 && !call.errorWritten()) {
        if (std::string why = whyUnexaminable(report.argument); !why.empty())
            return fail(report, {"isMPIODevice", result, std::nullopt, std::nullopt,
                                 why + " (isMPIODevice answered 0, no)"});
    }
    if (result == 1 || (result == 0 && !call.errorWritten())) {
        report.answer = result == 1;
        report.exitStatus = result == 1 ? kExitOk : kExitNo;
        warnIfErrorLeft(report, "isMPIODevice", call, "its answer may be wrong");
        return;
    }
    if (result == 0)
        return fail(report, problemOf("isMPIODevice", result, call,
                                      "isMPIODevice could not examine " + report.argument));
    fail(report, problemOf("isMPIODevice", result, call,
                           result < 0 ? "isMPIODevice failed with result " + std::to_string(result)
                                      : "isMPIODevice gave the unexpected result " +
                                            std::to_string(result)));
}

// getUnderlyingDevices' answer that device is no pseudo device, when that
// is what it answered.
std::optional<Problem> notAPseudoDevice(const std::string& device, const PathListResult& listed) {
    if (listed.outcome != Outcome::Failed || listed.last.result != MPIO_NOT_A_PSEUDO_DEVICE ||
        listed.last.errorWritten())
        return std::nullopt;
    return problemOf("getUnderlyingDevices", MPIO_NOT_A_PSEUDO_DEVICE, listed.last,
                     device + " is not a PowerPath pseudo device (getUnderlyingDevices returned " +
                         std::to_string(MPIO_NOT_A_PSEUDO_DEVICE) + ")");
}

void runPaths(const EntryPoints& api, const Limits& limits, Report& report) {
    if (auto problem = callInit(api, nullptr)) {
        problem->message += "; going on, but a partition is not mapped to its pseudo device";
        report.warnings.push_back(std::move(*problem));
    }
    const PathListResult listed = negotiatePathList(
        [&](char** buffers, int* count, int* err, char* errbuf) {
            return api.getUnderlyingDevices(nullptr, report.argument.c_str(), buffers, count, err,
                                            errbuf);
        },
        limits);
    if (auto problem = notAPseudoDevice(report.argument, listed)) return fail(report, std::move(*problem));
    if (listed.outcome != Outcome::Complete)
        return failNegotiation(report, "getUnderlyingDevices", listed);
    warnIfErrorLeft(report, "getUnderlyingDevices", listed.last,
                    "its partition check failed, so " + report.argument +
                        " was asked about under its own name");
    report.paths = listed.paths;
}

// The text of the partition reader's failure result: its negated errno value
// as strerror says it.
std::string readerError(int result) {
    constexpr int kLargestErrno = 4095; // as the kernel's error returns go
    return result < 0 && result >= -kLargestErrno ? mpio::process::errnoText(-result)
                                                  : "not an errno value";
}

// Why getPartitionDevices failed for device. Its own refusal is -1; any other
// negative result is the partition reader's, whatever plug-in code it also
// equals (-6, -ENXIO, is MPIO_NOT_A_PSEUDO_DEVICE too).
Problem partitionsRefused(const std::string& device, const PartitionResult& listed) {
    const int result = listed.last.result;
    if (result != -1)
        return problemOf("getPartitionDevices", result, listed.last,
                         "the partition table of " + device + " could not be read: " +
                             readerError(result) + " (the partition reader's error " +
                             std::to_string(result) + ", returned by getPartitionDevices)");
    Problem problem = problemOf("getPartitionDevices", result, listed.last,
                                device + " is not a whole PowerPath pseudo device "
                                         "(getPartitionDevices returned -1)");
    // For a refused device the plug-in's text is the device's name alone.
    problem.textInMessage = problem.code == result && problem.text == device;
    return problem;
}

void runPartitions(const EntryPoints& api, const Limits& limits, Report& report) {
    if (auto problem = callInit(api, nullptr)) return fail(report, std::move(*problem));
    const PartitionResult listed = negotiatePartitions(
        [&](TmPartInfo* parts, int* count, int* err, char* errbuf) {
            return api.getPartitionDevices(nullptr, report.argument.c_str(), parts, count, 0, err,
                                           errbuf);
        },
        limits);
    if (listed.outcome == Outcome::Failed)
        return fail(report, partitionsRefused(report.argument, listed));
    if (listed.outcome != Outcome::Complete)
        return failNegotiation(report, "getPartitionDevices", listed);
    warnIfErrorLeft(report, "getPartitionDevices", listed.last, "its list may be incomplete");
    report.partitions = listed.partitions;
}

void runIsPartition(const EntryPoints& api, Report& report) {
    if (auto problem = callInit(api, nullptr)) return fail(report, std::move(*problem));
    ErrorOut out;
    char parent[MAXMPIOPATHLEN] = {};
    const int result =
        api.isPartitionDevice(nullptr, report.argument.c_str(), parent, &out.err, out.errbuf);
    const CallReport call = out.report(result);
    if (result == 1) {
        report.answer = true;
        report.parent = std::string(parent, strnlen(parent, sizeof parent));
        warnIfErrorLeft(report, "isPartitionDevice", call, "its answer may be wrong");
    } else if (result == 0 && !call.errorWritten()) {
        report.answer = false;
        report.exitStatus = kExitNo;
    } else if (result == 0) {
        // Its failures return 0 too; only the written error tells them apart.
        fail(report, problemOf("isPartitionDevice", result, call,
                               "isPartitionDevice could not examine " + report.argument +
                                   " or its parent node"));
    } else {
        fail(report, problemOf("isPartitionDevice", result, call,
                               "isPartitionDevice gave the unexpected result " +
                                   std::to_string(result)));
    }
}

void runRefresh(const EntryPoints& api, Report& report) {
    ErrorOut out;
    const int result = api.refreshMPIO(nullptr, &out.err, out.errbuf);
    const CallReport call = out.report(result);
    if (result != 0)
        fail(report, problemOf("refreshMPIO", result, call,
                               "refreshMPIO failed with result " + std::to_string(result)));
    else if (call.errorWritten())
        fail(report, problemOf("refreshMPIO", result, call,
                               "refreshMPIO returned 0 but reported an error"));
}

// A removal or release that failed before a save that succeeded: powermt's
// reason first, then what it means for the configuration.
Problem partialDelete(const std::string& name, const CallReport& call) {
    Problem problem = problemOf("deleteMPIODevice", 0, call, {});
    const std::string code =
        problem.code ? " (plug-in error " + std::to_string(*problem.code) + ")" : "";
    const std::string consequence = "the removal of " + name + " or the release before the save "
                                    "failed" + code + "; the configuration was still saved";
    problem.message = problem.text ? *problem.text + "\n" + consequence : consequence;
    problem.textInMessage = true;
    return problem;
}

void runDelete(const EntryPoints& api, Report& report) {
    ErrorOut out;
    const int result =
        api.deleteMPIODevice(nullptr, report.argument.c_str(), &out.err, out.errbuf);
    const CallReport call = out.report(result);
    // The result reports the save alone; a failed removal or release shows
    // only in the error out-parameters.
    if (result != 0)
        fail(report, problemOf("deleteMPIODevice", result, call,
                               "deleteMPIODevice failed with result " + std::to_string(result) +
                                   ": the configuration was not saved"));
    else if (call.errorWritten())
        fail(report, partialDelete(report.argument, call));
}

// The problem of a negotiated listing that did not complete: the entry
// point's failure, or why the negotiation gave up.
template <class Negotiated>
Problem negotiationProblem(const std::string& entryPoint, const Negotiated& listing) {
    return problemOf(entryPoint, listing.last.result, listing.last,
                     listing.outcome == Outcome::Failed
                         ? entryPoint + " failed with result " + std::to_string(listing.last.result)
                         : entryPoint + ": " + listing.problem);
}

// The questions a host asks about one listed device at start-up.
InventoryDevice inventoryDevice(const EntryPoints& api, const Limits& limits,
                                const std::string& device) {
    InventoryDevice entry{device, std::nullopt, std::nullopt, std::nullopt, {}};
    ErrorOut out;
    const int result = api.isMPIODevice(nullptr, device.c_str(), &out.err, out.errbuf);
    const CallReport call = out.report(result);
    if ((result == 0 || result == 1) && !call.errorWritten())
        entry.mpio = result == 1;
    else
        entry.problems.push_back(problemOf("isMPIODevice", result, call,
                                           "isMPIODevice failed with result " +
                                               std::to_string(result)));

    const PathListResult paths = negotiatePathList(
        [&](char** buffers, int* count, int* err, char* errbuf) {
            return api.getUnderlyingDevices(nullptr, device.c_str(), buffers, count, err, errbuf);
        },
        limits);
    if (paths.outcome == Outcome::Complete)
        entry.paths = paths.paths;
    else if (auto problem = notAPseudoDevice(device, paths))
        entry.problems.push_back(std::move(*problem));
    else
        entry.problems.push_back(negotiationProblem("getUnderlyingDevices", paths));

    const PartitionResult parts = negotiatePartitions(
        [&](TmPartInfo* records, int* count, int* err, char* errbuf) {
            return api.getPartitionDevices(nullptr, device.c_str(), records, count, 0, err, errbuf);
        },
        limits);
    if (parts.outcome == Outcome::Complete)
        entry.partitions = parts.partitions;
    else if (parts.outcome == Outcome::Failed)
        entry.problems.push_back(partitionsRefused(device, parts));
    else
        entry.problems.push_back(negotiationProblem("getPartitionDevices", parts));
    return entry;
}

void runInventory(const EntryPoints& api, const Limits& limits, const Progress& progress,
                  Report& report) {
    if (auto problem = callInit(api, nullptr)) return fail(report, std::move(*problem));
    const auto listed = listDevices(api, limits, report);
    if (!listed) return;
    std::vector<InventoryDevice> devices;
    devices.reserve(listed->size());
    for (const std::string& device : *listed) {
        devices.push_back(inventoryDevice(api, limits, device));
        if (!devices.back().problems.empty()) report.exitStatus = kExitFailure;
        if (progress) progress(devices.size(), listed->size());
    }
    report.inventory = std::move(devices);
}

Report blankReport(const Invocation& invocation, const std::string& pluginPath) {
    Report report;
    report.command = invocation.command;
    report.plugin = pluginPath;
    report.argument = invocation.argument;
    return report;
}

// Runs the command into report.
void runInto(const Invocation& invocation, const EntryPoints& api, const Limits& limits,
             const Progress& progress, Report& report) {
    switch (invocation.command->id) {
    case Command::Vendor: runVendor(api, report); break;
    case Command::Init: runInit(api, report); break;
    case Command::Devices: runDevices(api, limits, report); break;
    case Command::IsMpio: runIsMpio(api, report); break;
    case Command::Paths: runPaths(api, limits, report); break;
    case Command::Partitions: runPartitions(api, limits, report); break;
    case Command::IsPartition: runIsPartition(api, report); break;
    case Command::Refresh: runRefresh(api, report); break;
    case Command::Delete: runDelete(api, report); break;
    case Command::Inventory: runInventory(api, limits, progress, report); break;
    }
}

} // namespace

Report runCommand(const Invocation& invocation, const EntryPoints& api,
                  const std::string& pluginPath, const Limits& limits, const Progress& progress) {
    Report report = blankReport(invocation, pluginPath);
    try {
        runInto(invocation, api, limits, progress, report);
    } catch (const std::bad_alloc&) {
        // What was gathered goes first, so that the failure can be reported.
        report.paths.reset();
        report.partitions.reset();
        report.inventory.reset();
        report.warnings = {};
        fail(report, {{}, std::nullopt, std::nullopt, std::nullopt,
                      std::string(invocation.command->name) + ": out of memory"});
    }
    return report;
}

Report setupFailure(const Invocation& invocation, const std::string& pluginPath,
                    const std::vector<std::string>& errors) {
    Report report = blankReport(invocation, pluginPath);
    std::string message;
    for (const std::string& line : errors) message += (message.empty() ? "" : "\n") + line;
    report.failure = Problem{{}, std::nullopt, std::nullopt, std::nullopt, message};
    report.exitStatus = kExitLoadFailure;
    return report;
}

} // namespace mpioctl
