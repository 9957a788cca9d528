// SPDX-License-Identifier: Apache-2.0
#include "fake_host.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>

namespace mpiotest {
namespace {

struct Partitions {
    int result;
    std::vector<slice> slices;
};

struct Data {
    std::map<std::string, std::vector<Reply>> scripts;
    std::map<std::string, std::size_t> served;
    std::optional<Reply> others;
    std::function<Reply(const std::string&)> responder;
    std::vector<HostRun> runs;
    std::vector<LogEntry> logs;
    std::map<std::string, Partitions> partitions;
    std::vector<PartitionRead> partitionReads;
};

struct State {
    std::mutex mutex;
    Data data;
};
State& state() {
    static State s;
    return s;
}

// Runs f on the scripted state under its lock (the plug-in calls from many
// threads in the race tests); the result is f's.
template <class F>
auto locked(F&& f) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return f(s.data);
}

Reply replyFor(Data& s, const std::string& command) {
    if (s.responder) return s.responder(command);
    auto it = s.scripts.find(command);
    if (it != s.scripts.end() && !it->second.empty()) {
        std::size_t& n = s.served[command];
        const Reply& r = it->second[n < it->second.size() ? n : it->second.size() - 1];
        ++n;
        return r;
    }
    if (s.others) return *s.others;
    return Reply{127, "", "fake host: no answer scripted for [" + command + "]"};
}

__attribute__((format(printf, 1, 0))) std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return {};
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

// The log objects carry no state, so the file instance of each live object
// is remembered here, keyed by the object's address.
thread_local std::map<const EvDebug*, EvDebugFileInstance*> fileOf;

void record(const EvDebug* log, const char* tag, int level, bool leveled, std::string text) {
    locked([&](Data& s) {
        const bool fileGiven = fileOf.count(log) && fileOf[log] != nullptr;
        s.logs.push_back(LogEntry{tag ? tag : "", level, leveled, std::move(text), fileGiven});
    });
}

} // namespace

void FakeHost::reset() const { locked([](Data& s) { s = Data{}; }); }

void FakeHost::answer(const std::string& command, Reply reply) const { answerInTurn(command, {std::move(reply)}); }

void FakeHost::answerInTurn(const std::string& command, std::vector<Reply> replies) const {
    locked([&](Data& s) {
        s.scripts[command] = std::move(replies);
        s.served[command] = 0;
    });
}

void FakeHost::answerOthers(Reply reply) const { locked([&](Data& s) { s.others = std::move(reply); }); }

void FakeHost::respondWith(std::function<Reply(const std::string&)> responder) const {
    locked([&](Data& s) { s.responder = std::move(responder); });
}

std::vector<HostRun> FakeHost::runs() const { return locked([](Data& s) { return s.runs; }); }

std::vector<std::string> FakeHost::commands() const {
    std::vector<std::string> out;
    for (const HostRun& r : runs()) out.push_back(r.command);
    return out;
}

std::vector<LogEntry> FakeHost::logEntries() const { return locked([](Data& s) { return s.logs; }); }

void FakeHost::scriptPartitions(const std::string& device, int result, std::vector<slice> slices) const {
    locked([&](Data& s) { s.partitions[device] = Partitions{result, std::move(slices)}; });
}

std::vector<PartitionRead> FakeHost::partitionReads() const { return locked([](Data& s) { return s.partitionReads; }); }

} // namespace mpiotest

using namespace mpiotest;

int TmProcess::system(const char* command, std::string* output, std::string* error, int timeout,
                      bool flag) {
    const Reply reply = locked([&](Data& s) {
        const std::string text = command ? command : "";
        s.runs.push_back(HostRun{text, timeout, flag, output && output->empty(), error && error->empty()});
        return replyFor(s, text);
    });
    if (output) *output = reply.output;
    if (error) *error = reply.error;
    return reply.status;
}

EvDebug::EvDebug(EvDebugFileInstance* file) { fileOf[this] = file; }

EvDebug::~EvDebug() { fileOf.erase(this); }

int EvDebug::Debug(const char* tag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    record(this, tag, 0, false, vformat(format, args));
    va_end(args);
    return 0;
}

int EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    record(this, tag, level, true, vformat(format, args));
    va_end(args);
    return 0;
}

int getPartitions(const char* device, std::list<slice>* slices) {
    return locked([&](Data& s) {
        const std::string path = device ? device : "";
        s.partitionReads.push_back(PartitionRead{path, slices && slices->empty()});
        auto it = s.partitions.find(path);
        if (it == s.partitions.end()) return -ENOENT;
        if (slices) slices->insert(slices->end(), it->second.slices.begin(), it->second.slices.end());
        return it->second.result;
    });
}
