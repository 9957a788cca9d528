// SPDX-License-Identifier: Apache-2.0
// A scripted stand-in for the host services, for unit tests of the plug-in.
// It answers each command line from a script, records every command, every
// log entry and every partition-table read, and serves scripted partitions.
// All functions are safe to call from several threads at once.
#ifndef TESTS_SUPPORT_FAKE_HOST_H
#define TESTS_SUPPORT_FAKE_HOST_H

#include <functional>
#include <string>
#include <vector>

#include "TmHostServices.h"

namespace fakehost {

struct Reply {
    int status = 0;
    std::string output;
    std::string error;
};

struct Run {
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

// Forgets every script and every record.
void reset();

// Every run of exactly this command line gets this reply.
void answer(const std::string& command, Reply reply);
// Successive runs of this command line get these replies; the last repeats.
void answerInTurn(const std::string& command, std::vector<Reply> replies);
// Runs of command lines without a script of their own get this reply. Until
// it is set they fail with status 127 and an error text naming the command.
void answerOthers(Reply reply);
// Computes the reply of every run; takes precedence over the scripts.
void respondWith(std::function<Reply(const std::string& command)> responder);

std::vector<Run> runs();
std::vector<std::string> commands();
std::vector<LogEntry> logEntries();

// getPartitions(device, ...) appends these slices and returns result.
// Devices without a script give -ENOENT.
void scriptPartitions(const std::string& device, int result, std::vector<slice> slices);
std::vector<PartitionRead> partitionReads();

} // namespace fakehost

#endif
