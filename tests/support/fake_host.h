// SPDX-License-Identifier: Apache-2.0
// A scripted stand-in for the host services, for unit tests of the plug-in,
// the fuzz targets and the parsing benchmark. It answers each command line
// from a script, records every command, every log entry and every
// partition-table read, and serves scripted partitions. All functions are
// safe to call from several threads at once.
//
// Its library defines the host services themselves (TmProcess::system,
// EvDebug, getPartitions): a program links it instead of libTmHost, never
// beside it.
#ifndef TESTS_SUPPORT_FAKE_HOST_H
#define TESTS_SUPPORT_FAKE_HOST_H

#include <functional>
#include <string>
#include <vector>

#include "TmHostServices.h"

namespace mpiotest {

struct Reply {
    int status = 0;
    std::string output;
    std::string error;
};

struct HostRun {
    std::string command;
    int timeout;
    bool flag;
    bool outputEmptyOnEntry;
    bool errorEmptyOnEntry;
};

struct LogEntry {
    std::string tag;
    int level;     // 0 for Debug, which has no level of its own
    bool leveled;  // true for DebugLvl
    std::string text;
    bool fileInstanceGiven;
};

struct PartitionRead {
    std::string device;
    bool listEmptyOnEntry;
};

// The scripted host of this process. The object holds no state of its own:
// it names the operations, which all act on the one script and record.
class FakeHost {
public:
    // Forgets every script and every record.
    void reset() const;

    // Every run of exactly this command line gets this reply.
    void answer(const std::string& command, Reply reply) const;
    // Successive runs of this command line get these replies; the last repeats.
    void answerInTurn(const std::string& command, std::vector<Reply> replies) const;
    // Runs of command lines without a script of their own get this reply. Until
    // it is set they fail with status 127 and an error text naming the command.
    void answerOthers(Reply reply) const;
    // Computes the reply of every run; takes precedence over the scripts.
    void respondWith(std::function<Reply(const std::string& command)> responder) const;

    std::vector<HostRun> runs() const;
    std::vector<std::string> commands() const;
    std::vector<LogEntry> logEntries() const;

    // getPartitions(device, ...) appends these slices and returns result.
    // Devices without a script give -ENOENT.
    void scriptPartitions(const std::string& device, int result, std::vector<slice> slices) const;
    std::vector<PartitionRead> partitionReads() const;
};

inline constexpr FakeHost fakeHost{};

} // namespace mpiotest

#endif // TESTS_SUPPORT_FAKE_HOST_H
