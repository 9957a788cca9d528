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

std::string vendorName(const char* name) { return std::string(name, strnlen(name, kMaxVendorName)); }

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

Problem problemOf(const std::string& entryPoint, std::optional<int> result, const CallReport& call,
                  std::string message) {
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
void warnIfErrorLeft(Report& report, const std::string& entryPoint, const CallReport& call, const std::string& why) {
    if (call.errorWritten())
        report.warnings.push_back(
            problemOf(entryPoint, call.result, call, entryPoint + " succeeded but left an error: " + why));
}

// Calls init; on failure the problem, else the vendor name that it returned.
std::optional<Problem> callInit(const EntryPoints& api, std::string* vendor) {
    ErrorOut out;
    const char* name = api.init(nullptr, &out.err, out.errbuf);
    if (!name)
        return problemOf("init", std::nullopt, out.report(0),
                         "init failed (it returned null): the plug-in could not set itself up "
                         "(PowerPath: no PowerPath device class in /proc/devices)");
    if (vendor) *vendor = vendorName(name);
    return std::nullopt;
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

void runVendor(const Session& session, Report& report) {
    const char* name = session.api.getVendorName();
    if (!name) {
        fail(report, {"getVendorName", std::nullopt, std::nullopt, std::nullopt, "getVendorName returned null"});
        return;
    }
    report.vendor = vendorName(name);
}

void runInit(const Session& session, Report& report) {
    std::string vendor;
    if (auto problem = callInit(session.api, &vendor)) return fail(report, std::move(*problem));
    report.vendor = vendor;
}

// getMPIODevices with capacity negotiation; when it does not complete the
// report says why and there is no list.
std::optional<std::vector<std::string>> listDevices(const Session& session, Report& report) {
    const PathListResult listed = negotiatePathList(
        [&](char** buffers, int* count, int* err, char* errbuf) {
            return session.api.getMPIODevices(nullptr, buffers, count, err, errbuf);
        },
        session.limits);
    if (listed.outcome != Outcome::Complete) {
        fail(report, negotiationProblem("getMPIODevices", listed));
        return std::nullopt;
    }
    warnIfErrorLeft(report, "getMPIODevices", listed.last, "its list may be incomplete");
    return listed.paths;
}

void runDevices(const Session& session, Report& report) {
    const auto listed = listDevices(session, report);
    if (!listed) return;
    // An empty list is also what a machine without PowerPath gives; init tells
    // the two apart by the PowerPath device class.
    if (listed->empty()) {
        if (auto problem = callInit(session.api, nullptr)) {
            problem->message = "no PowerPath on this machine: no pseudo device listed, and " + problem->message;
            return fail(report, std::move(*problem));
        }
    }
    report.paths = *listed;
}

void runIsMpio(const Session& session, Report& report) {
    ErrorOut out;
    const int result = session.api.isMPIODevice(nullptr, report.argument.c_str(), &out.err, out.errbuf);
    const CallReport call = out.report(result);
    // Its "no" is also its answer for a path that does not exist.
    if (result == 0 && !call.errorWritten()) {
        if (std::string why = whyUnexaminable(report.argument); !why.empty())
            return fail(report,
                        {"isMPIODevice", result, std::nullopt, std::nullopt, why + " (isMPIODevice answered 0, no)"});
    }
    if (result == 1 || (result == 0 && !call.errorWritten())) {
        report.answer = result == 1;
        report.exitStatus = result == 1 ? kExitOk : kExitNo;
        warnIfErrorLeft(report, "isMPIODevice", call, "its answer may be wrong");
        return;
    }
    if (result == 0)
        return fail(report,
                    problemOf("isMPIODevice", result, call, "isMPIODevice could not examine " + report.argument));
    fail(report, problemOf("isMPIODevice", result, call,
                           result < 0 ? "isMPIODevice failed with result " + std::to_string(result)
                                      : "isMPIODevice gave the unexpected result " + std::to_string(result)));
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

void runPaths(const Session& session, Report& report) {
    if (auto problem = callInit(session.api, nullptr)) {
        problem->message += "; going on, but a partition is not mapped to its pseudo device";
        report.warnings.push_back(std::move(*problem));
    }
    const PathListResult listed = negotiatePathList(
        [&](char** buffers, int* count, int* err, char* errbuf) {
            return session.api.getUnderlyingDevices(nullptr, report.argument.c_str(), buffers, count, err, errbuf);
        },
        session.limits);
    if (auto problem = notAPseudoDevice(report.argument, listed)) return fail(report, std::move(*problem));
    if (listed.outcome != Outcome::Complete) return fail(report, negotiationProblem("getUnderlyingDevices", listed));
    warnIfErrorLeft(report, "getUnderlyingDevices", listed.last,
                    "its partition check failed, so " + report.argument + " was asked about under its own name");
    report.paths = listed.paths;
}

// The text of the partition reader's failure result: its negated errno value
// as strerror says it.
std::string readerError(int result) {
    constexpr int kLargestErrno = 4095; // as the kernel's error returns go
    return result < 0 && result >= -kLargestErrno ? mpio::process::errnoText(-result) : "not an errno value";
}

// Why getPartitionDevices failed for device. Its own refusal is -1; any other
// negative result is the partition reader's, whatever plug-in code it also
// equals (-6, -ENXIO, is MPIO_NOT_A_PSEUDO_DEVICE too).
Problem partitionsRefused(const std::string& device, const PartitionResult& listed) {
    const int result = listed.last.result;
    if (result != -1)
        return problemOf("getPartitionDevices", result, listed.last,
                         "the partition table of " + device + " could not be read: " + readerError(result) +
                             " (the partition reader's error " + std::to_string(result) +
                             ", returned by getPartitionDevices)");
    Problem problem = problemOf("getPartitionDevices", result, listed.last,
                                device + " is not a whole PowerPath pseudo device "
                                         "(getPartitionDevices returned -1)");
    // For a refused device the plug-in's text is the device's name alone.
    problem.textInMessage = problem.code == result && problem.text == device;
    return problem;
}

void runPartitions(const Session& session, Report& report) {
    if (auto problem = callInit(session.api, nullptr)) return fail(report, std::move(*problem));
    const PartitionResult listed = negotiatePartitions(
        [&](TmPartInfo* parts, int* count, int* err, char* errbuf) {
            return session.api.getPartitionDevices(nullptr, report.argument.c_str(), parts, count, 0, err, errbuf);
        },
        session.limits);
    if (listed.outcome == Outcome::Failed) return fail(report, partitionsRefused(report.argument, listed));
    if (listed.outcome != Outcome::Complete) return fail(report, negotiationProblem("getPartitionDevices", listed));
    warnIfErrorLeft(report, "getPartitionDevices", listed.last, "its list may be incomplete");
    report.partitions = listed.partitions;
}

void runIsPartition(const Session& session, Report& report) {
    if (auto problem = callInit(session.api, nullptr)) return fail(report, std::move(*problem));
    ErrorOut out;
    char parent[MAXMPIOPATHLEN] = {};
    const int result = session.api.isPartitionDevice(nullptr, report.argument.c_str(), parent, &out.err, out.errbuf);
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
                               "isPartitionDevice could not examine " + report.argument + " or its parent node"));
    } else {
        fail(report, problemOf("isPartitionDevice", result, call,
                               "isPartitionDevice gave the unexpected result " + std::to_string(result)));
    }
}

void runRefresh(const Session& session, Report& report) {
    ErrorOut out;
    const int result = session.api.refreshMPIO(nullptr, &out.err, out.errbuf);
    const CallReport call = out.report(result);
    if (result != 0)
        fail(report,
             problemOf("refreshMPIO", result, call, "refreshMPIO failed with result " + std::to_string(result)));
    else if (call.errorWritten())
        fail(report, problemOf("refreshMPIO", result, call, "refreshMPIO returned 0 but reported an error"));
}

// A removal or release that failed before a save that succeeded: powermt's
// reason first, then what it means for the configuration.
Problem partialDelete(const std::string& name, const CallReport& call) {
    Problem problem = problemOf("deleteMPIODevice", 0, call, {});
    const std::string code = problem.code ? " (plug-in error " + std::to_string(*problem.code) + ")" : "";
    const std::string consequence = "the removal of " + name +
                                    " or the release before the save "
                                    "failed" +
                                    code + "; the configuration was still saved";
    problem.message = problem.text ? *problem.text + "\n" + consequence : consequence;
    problem.textInMessage = true;
    return problem;
}

void runDelete(const Session& session, Report& report) {
    ErrorOut out;
    const int result = session.api.deleteMPIODevice(nullptr, report.argument.c_str(), &out.err, out.errbuf);
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

// The questions a host asks about one listed device at start-up.
InventoryDevice inventoryDevice(const Session& session, const std::string& device) {
    const EntryPoints& api = session.api;
    InventoryDevice entry{device, std::nullopt, std::nullopt, std::nullopt, {}};
    ErrorOut out;
    const int result = api.isMPIODevice(nullptr, device.c_str(), &out.err, out.errbuf);
    const CallReport call = out.report(result);
    if ((result == 0 || result == 1) && !call.errorWritten())
        entry.mpio = result == 1;
    else
        entry.problems.push_back(
            problemOf("isMPIODevice", result, call, "isMPIODevice failed with result " + std::to_string(result)));

    const PathListResult paths = negotiatePathList(
        [&](char** buffers, int* count, int* err, char* errbuf) {
            return api.getUnderlyingDevices(nullptr, device.c_str(), buffers, count, err, errbuf);
        },
        session.limits);
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
        session.limits);
    if (parts.outcome == Outcome::Complete)
        entry.partitions = parts.partitions;
    else if (parts.outcome == Outcome::Failed)
        entry.problems.push_back(partitionsRefused(device, parts));
    else
        entry.problems.push_back(negotiationProblem("getPartitionDevices", parts));
    return entry;
}

void runInventory(const Session& session, Report& report) {
    if (auto problem = callInit(session.api, nullptr)) return fail(report, std::move(*problem));
    const auto listed = listDevices(session, report);
    if (!listed) return;
    std::vector<InventoryDevice> devices;
    devices.reserve(listed->size());
    for (const std::string& device : *listed) {
        devices.push_back(inventoryDevice(session, device));
        if (!devices.back().problems.empty()) report.exitStatus = kExitFailure;
        if (session.progress) session.progress(devices.size(), listed->size());
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

// The commands, in the order that the help lists them.
constexpr CommandInfo kCommands[] = {
    {.name = "vendor",
     .argument = nullptr,
     .argumentMember = nullptr,
     .entryPoint = "getVendorName",
     .summary = "the plug-in's vendor name",
     .details = "Prints the vendor name that the plug-in hands out (getVendorName).\n"
                "It needs no set-up and runs no command.",
     .options = kCommonOptions,
     .run = runVendor,
     .text = vendorText,
     .raw = nullptr,
     .json = vendorJson},
    {.name = "init",
     .argument = nullptr,
     .argumentMember = nullptr,
     .entryPoint = "init",
     .summary = "set the plug-in up; prints the vendor name",
     .details = "Calls init, which asks the kernel for the PowerPath admin major number, and\n"
                "prints the vendor name that it returns. It fails when no PowerPath device\n"
                "class is listed in /proc/devices.",
     .options = kCommonOptions,
     .run = runInit,
     .text = vendorText,
     .raw = nullptr,
     .json = vendorJson},
    {.name = "devices",
     .argument = nullptr,
     .argumentMember = nullptr,
     .entryPoint = "getMPIODevices",
     .summary = "list the pseudo devices",
     .details = "Lists the PowerPath pseudo devices, one path per line, nothing when there\n"
                "are none (getMPIODevices). When none is listed it calls init, and when\n"
                "that finds no PowerPath device class it says that this machine has no\n"
                "PowerPath and fails.\n"
                "The array offered to the plug-in grows to the size that it asks for, up to\n"
                "the limit given in mpioctl --help.",
     .options = kCommonOptions,
     .run = runDevices,
     .text = pathListText,
     .raw = nullptr,
     .json = devicesJson},
    {.name = "is-mpio",
     .argument = "PATH",
     .argumentMember = "path",
     .entryPoint = "isMPIODevice",
     .summary = "whether PATH is a pseudo device or partition of one",
     .details = "Tells whether PATH denotes a PowerPath pseudo device or a partition of one,\n"
                "judged by the device numbers of its node (isMPIODevice).\n"
                "Exit status 0 for yes, 1 for no.",
     .options = kCommonOptions,
     .run = runIsMpio,
     .text = isMpioText,
     .raw = nullptr,
     .json = isMpioJson},
    {.name = "paths",
     .argument = "PATH",
     .argumentMember = "device",
     .entryPoint = "getUnderlyingDevices",
     .summary = "the physical paths behind a pseudo device",
     .details = "Lists the physical paths (sd devices) behind the pseudo device PATH, or\n"
                "behind the pseudo device that holds the partition PATH, one per line\n"
                "(getUnderlyingDevices). The plug-in returns the active and the passive\n"
                "paths, alive or dead alike; standby and unlicensed paths are not returned,\n"
                "and a path's state is not part of the plug-in's interface. Calls init\n"
                "first; when init fails, a warning is shown and the call goes on, since\n"
                "whole pseudo devices are still answered, but a partition is then not\n"
                "mapped to its pseudo device. A PATH that is not a pseudo device is a\n"
                "failure.",
     .options = kCommonOptions,
     .run = runPaths,
     .text = pathListText,
     .raw = nullptr,
     .json = pathsJson},
    {.name = "partitions",
     .argument = "PATH",
     .argumentMember = "device",
     .entryPoint = "getPartitionDevices",
     .summary = "the partitions of a whole pseudo device",
     .details = "Lists the partitions of the whole pseudo device PATH as a table of name,\n"
                "partition number, start, size, sector size and device numbers\n"
                "(getPartitionDevices). Calls init first and fails when init fails: without\n"
                "the admin major number the plug-in recognises no pseudo device.",
     .options = kCommonOptions | kTableOptions,
     .run = runPartitions,
     .text = partitionTableText,
     .raw = partitionTableRaw,
     .json = partitionsJson},
    {.name = "is-partition",
     .argument = "PATH",
     .argumentMember = "path",
     .entryPoint = "isPartitionDevice",
     .summary = "whether PATH is a partition of a pseudo device; its parent",
     .details = "Tells whether PATH is a partition of a PowerPath pseudo device and, if so,\n"
                "names the whole pseudo device that holds it (isPartitionDevice). Calls init\n"
                "first and fails when init fails: without the admin major number no\n"
                "partition is recognised. Exit status 0 for yes, 1 for no; a PATH that\n"
                "cannot be examined, or whose parent node is missing, is a failure.",
     .options = kCommonOptions,
     .run = runIsPartition,
     .text = isPartitionText,
     .raw = nullptr,
     .json = isPartitionJson},
    {.name = "refresh",
     .argument = nullptr,
     .argumentMember = nullptr,
     .entryPoint = "refreshMPIO",
     .summary = "rescan the multipath configuration",
     .details = "Makes PowerPath rescan its configuration (refreshMPIO).",
     .options = kCommonOptions,
     .run = runRefresh,
     .text = refreshText,
     .raw = nullptr,
     .json = nullptr},
    {.name = "delete",
     .argument = "NAME",
     .argumentMember = "name",
     .entryPoint = "deleteMPIODevice",
     .summary = "remove a pseudo device and save the configuration",
     .details = "Removes the pseudo device NAME (a name such as emcpowerc or a path such as\n"
                "/dev/emcpowerc), then releases and saves the PowerPath configuration\n"
                "(deleteMPIODevice). A failure of any of these steps is a failure, even when\n"
                "the plug-in's result reports only the save.",
     .options = kCommonOptions,
     .run = runDelete,
     .text = deleteText,
     .raw = nullptr,
     .json = nullptr},
    {.name = "inventory",
     .argument = nullptr,
     .argumentMember = nullptr,
     .entryPoint = "init, getMPIODevices, ...",
     .summary = "every pseudo device with its paths and partitions",
     .details = "Shows every pseudo device as a host sees it at start-up: calls init, lists\n"
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
                "it is a terminal and the inventory takes more than a second.",
     .options = kCommonOptions | kTableOptions,
     .run = runInventory,
     .text = inventoryTreeText,
     .raw = inventoryRawText,
     .json = inventoryJson},
};
} // namespace

std::span<const CommandInfo> commandTable() { return kCommands; }

const CommandInfo* findCommand(std::string_view name) {
    for (const CommandInfo& command : kCommands)
        if (name == command.name) return &command;
    return nullptr;
}

Report runCommand(const Invocation& invocation, const EntryPoints& api, const std::string& pluginPath,
                  const Limits& limits, const Progress& progress) {
    Report report = blankReport(invocation, pluginPath);
    try {
        invocation.command->run({api, limits, progress}, report);
    } catch (const std::bad_alloc&) {
        // What was gathered goes first, so that the failure can be reported.
        report.paths.reset();
        report.partitions.reset();
        report.inventory.reset();
        report.warnings = {};
        fail(report,
             {{}, std::nullopt, std::nullopt, std::nullopt, std::string(invocation.command->name) + ": out of memory"});
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
