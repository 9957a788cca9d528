// SPDX-License-Identifier: Apache-2.0
// Races: every entry point called from 8 threads at once, with the answers
// compared to the single-threaded ones; and init changing the admin major
// number while the partition entry points run, every answer being one of
// the two that the two numbers give. Meaningful under ThreadSanitizer (the
// tsan preset); in the other builds they check the answers only.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "command_audit.h"
#include "plugin_fixtures.h"

using namespace mpiotest;
using namespace tmmpio;

namespace {

constexpr int kThreads = 8;

// Rounds per thread; each round calls every entry point of the set once.
// MPIO_RACE_ROUNDS overrides the number (valgrind runs use fewer).
int rounds(int standard) {
    if (const char* text = std::getenv("MPIO_RACE_ROUNDS")) {
        const int n = std::atoi(text);
        if (n > 0) return n;
    }
    return standard;
}

// ---- Fingerprints of one call's outcome ---------------------------------------

std::string quoted(const std::string& text) { return '[' + text + ']'; }

std::string errorPart(const ErrorOut& e) {
    return e.untouched() ? "err untouched" : "err=" + std::to_string(e.err) + " text=" + quoted(e.text());
}

std::string pathsPart(const PathArray& a) {
    std::string s = "paths:";
    for (std::size_t i = 0; i < a.distinct(); ++i)
        s += a.untouched(i) ? " -" : " " + quoted(a.text(i));
    return s;
}

// The answer of a call that fills a path array.
std::string pathsAnswer(int result, int count, const PathArray& a, const ErrorOut& e) {
    return "r=" + std::to_string(result) + " count=" + std::to_string(count) + ' ' + pathsPart(a) + ' ' + errorPart(e);
}

std::string recordsPart(const std::vector<TmPartInfo>& records, int written) {
    std::ostringstream s;
    s << "records:";
    for (int i = 0; i < written && i < static_cast<int>(records.size()); ++i) {
        const TmPartInfo& r = records[i];
        s << " {" << r.name << ' ' << r.partNo << ' ' << r.start << ' ' << r.size << ' ' << r.sectorSize
          << ' ' << r.major << ' ' << r.minor << '}';
    }
    return s.str();
}

using Call = std::function<std::string()>;

struct NamedCall {
    std::string name;
    Call call;
};

Call underlying(const char* device, int capacity) {
    return [=] {
        PathArray a(4);
        ErrorOut e;
        int count = capacity;
        const int r = getUnderlyingDevices(nullptr, device, a.data(), &count, &e.err, e.errbuf());
        return pathsAnswer(r, count, a, e);
    };
}

Call listing(int capacity) {
    return [=] {
        PathArray a(capacity);
        ErrorOut e;
        int count = capacity;
        const int r = getMPIODevices(nullptr, a.data(), &count, &e.err, e.errbuf());
        return pathsAnswer(r, count, a, e);
    };
}

// The answer of an entry point that reports through err and errbuf alone.
Call reporting(int (*entry)(void*, const char*, int*, char*), const char* argument) {
    return [=] {
        ErrorOut e;
        const int r = entry(nullptr, argument, &e.err, e.errbuf());
        return std::to_string(r) + ' ' + errorPart(e);
    };
}

Call partitionCheck(const char* path) {
    return [=] {
        Bytes parent;
        ErrorOut e;
        const int r = isPartitionDevice(nullptr, path, parent.data(), &e.err, e.errbuf());
        return "r=" + std::to_string(r) + " parent=" + (parent.untouched() ? "-" : quoted(parent.text())) + ' ' +
               errorPart(e);
    };
}

Call partitionList(const char* path, int capacity) {
    return [=] {
        std::vector<TmPartInfo> records(4);
        ErrorOut e;
        int count = capacity;
        const int r = getPartitionDevices(nullptr, path, records.data(), &count, 0, &e.err, e.errbuf());
        int written = 0;
        while (written < 4 && records[written].sectorSize != 0) ++written;
        return "r=" + std::to_string(r) + " count=" + std::to_string(count) + ' ' +
               recordsPart(records, written) + ' ' + errorPart(e);
    };
}

// ---- Every entry point from 8 threads ---------------------------------------------

// The answers depend on the command line alone.
Reply deterministicReply(const std::string& command) {
    if (command == kPartitionListing)
        return {0, "120 32 emcpowerc\n120 33 emcpowerc1\n120 48 emcpowerd\n120 49 emcpowerd1\n", ""};
    if (command == kPseudoListing) return {0, "emcpowera\nemcpowerc\nemcpowerd\n", ""};
    if (command == kDiscovery) return {0, "120\n", ""};
    if (command == pathQuery("emcpowerc")) return {0, "sdb\nsdc\n", ""};
    if (command == pathQuery("emcpowerd")) return {2, "", "powermt: device emcpowerd is busy"};
    if (command == "powermt remove force dev=emcpowerz") return {1, "", "powermt: emcpowerz not found"};
    if (command == "powermt config" || command == "powermt release" || command == "powermt save" ||
        command == "powermt remove force dev=emcpowerc")
        return {0, "", ""};
    return {127, "", "no answer for [" + command + "]"};
}

class RaceTest : public DeviceNodeTest {
protected:
    void plant() override {
        plantPseudoDeviceC();
        privateDev.blockNode("/dev/emcpowerd", kAdminMajor, 48);
        privateDev.blockNode("/dev/emcpowerd1", kAdminMajor, 49);
        privateDev.symlink("../../emcpowerc", "/dev/disk/by-id/wwn-0x600601");
        fakeHost.respondWith(deterministicReply);
        fakeHost.scriptPartitions("/dev/emcpowerc", 3, threePartitions());
    }

    // Runs the calls from kThreads threads, each in its own order, and
    // returns one line per call whose answer differed from `expected`.
    std::vector<std::string> hammer(const std::vector<NamedCall>& calls,
                                     const std::vector<std::vector<std::string>>& valid, int perThread,
                                     std::function<void()> alongside = nullptr) {
        std::mutex mutex;
        std::vector<std::string> mismatches;
        std::atomic<long> total{0};
        std::barrier start(kThreads + (alongside ? 1 : 0));
        std::atomic<bool> done{false};
        auto worker = [&](int id) {
            std::mt19937 order(static_cast<unsigned>(id) * 7919u + 1u);
            std::vector<std::size_t> index(calls.size());
            for (std::size_t i = 0; i < index.size(); ++i) index[i] = i;
            start.arrive_and_wait();
            for (int round = 0; round < perThread; ++round) {
                std::shuffle(index.begin(), index.end(), order);
                for (const std::size_t i : index) {
                    const std::string got = calls[i].call();
                    total.fetch_add(1, std::memory_order_relaxed);
                    if (std::find(valid[i].begin(), valid[i].end(), got) == valid[i].end()) {
                        std::lock_guard lock(mutex);
                        if (mismatches.size() < 20) mismatches.push_back(calls[i].name + ": " + got);
                    }
                }
            }
        };
        std::vector<std::thread> threads;
        for (int id = 0; id < kThreads; ++id) threads.emplace_back(worker, id);
        std::thread side;
        if (alongside)
            side = std::thread([&] {
                start.arrive_and_wait();
                while (!done.load()) alongside();
            });
        for (auto& t : threads) t.join();
        done = true;
        if (side.joinable()) side.join();
        EXPECT_EQ(total.load(), static_cast<long>(kThreads) * perThread * static_cast<long>(calls.size()));
        return mismatches;
    }
};

std::vector<NamedCall> everyEntryPoint() {
    return {
        {"init", [] {
             ErrorOut e;
             const char* vendor = init(nullptr, &e.err, e.errbuf());
             return std::string(vendor == _VendorName ? "vendor" : "other") + ' ' + errorPart(e) +
                    " major=" + std::to_string(admin_major.load());
         }},
        {"getVendorName", [] { return std::string(getVendorName()); }},
        {"getMPIODevices cap 4", listing(4)},
        {"getMPIODevices cap 1", listing(1)},
        {"isMPIODevice emcpowerc", reporting(isMPIODevice, "/dev/emcpowerc")},
        {"isMPIODevice sdb", reporting(isMPIODevice, "/dev/sdb")},
        {"isMPIODevice missing", reporting(isMPIODevice, "/dev/emcpowerq")},
        {"FindMpDeviceName link", [] {
             std::string name;
             const int r = FindMpDeviceName("/dev/disk/by-id/wwn-0x600601", name);
             return std::to_string(r) + ' ' + name;
         }},
        {"listMPIODevices", [] {
             MpDevMap map;
             const int r = listMPIODevices(map);
             std::string s = std::to_string(r);
             for (const auto& [key, name] : map)
                 s += ' ' + std::to_string(key.major) + ':' + std::to_string(key.minor) + '=' + name;
             return s;
         }},
        {"getUnderlyingDevices emcpowerc", underlying("/dev/emcpowerc", 4)},
        {"getUnderlyingDevices emcpowerc cap 1", underlying("/dev/emcpowerc", 1)},
        {"getUnderlyingDevices partition", underlying("/dev/emcpowerc1", 4)},
        {"getUnderlyingDevices failing query", underlying("/dev/emcpowerd", 4)},
        {"getUnderlyingDevices sdb", underlying("/dev/sdb", 4)},
        {"refreshMPIO", [] {
             ErrorOut e;
             const int r = refreshMPIO(nullptr, &e.err, e.errbuf());
             return std::to_string(r) + ' ' + errorPart(e);
         }},
        {"deleteMPIODevice emcpowerc", reporting(deleteMPIODevice, "/dev/emcpowerc")},
        {"deleteMPIODevice failing removal", reporting(deleteMPIODevice, "emcpowerz\n")},
        {"deleteMPIODevice unsafe", reporting(deleteMPIODevice, "emcpowerc;reboot")},
        {"isPartitionDevice partition", partitionCheck("/dev/emcpowerc1")},
        {"isPartitionDevice whole", partitionCheck("/dev/emcpowerc")},
        {"isPartitionDevice orphan", partitionCheck("/dev/emcpowerd1")},
        {"isPartitionDevice missing", partitionCheck("/dev/emcpowerq1")},
        {"getPartitionDevices whole", partitionList("/dev/emcpowerc", 4)},
        {"getPartitionDevices cap 2", partitionList("/dev/emcpowerc", 2)},
        {"getPartitionDevices partition", partitionList("/dev/emcpowerc1", 4)},
    };
}

TEST_F(RaceTest, EveryEntryPointFromEightThreadsAnswersAsSingleThreaded) {
    const std::vector<NamedCall> calls = everyEntryPoint();
    std::vector<std::vector<std::string>> single;
    for (const NamedCall& c : calls) single.push_back({c.call()});
    // The single-threaded answers are the ones the unit tests pin down; a few
    // of them here make sure that the comparison is not between two wrongs.
    auto answerOf = [&](const std::string& name) {
        for (std::size_t i = 0; i < calls.size(); ++i)
            if (calls[i].name == name) return single[i][0];
        return std::string("no such call");
    };
    ASSERT_EQ(answerOf("getUnderlyingDevices emcpowerc"),
              "r=0 count=2 paths: [/dev/sdb] [/dev/sdc] - - err untouched");
    ASSERT_EQ(answerOf("getUnderlyingDevices failing query"),
              "r=-2 count=4 paths: - - - - err=2 text=[powermt: device emcpowerd is busy]");
    ASSERT_EQ(answerOf("isPartitionDevice partition"), "r=1 parent=[/dev/emcpowerc] err untouched");
    ASSERT_EQ(answerOf("deleteMPIODevice failing removal"), "0 err=1 text=[powermt: emcpowerz not found]");

    const auto mismatches = hammer(calls, single, rounds(1000));
    EXPECT_EQ(mismatches, std::vector<std::string>{});
    EXPECT_EQ(commandFaults(fakeHost.commands()), std::vector<std::string>{});
}

// ---- init racing the partition entry points ---------------------------------------

class InitRaceTest : public RaceTest {
protected:
    static constexpr int kOther = kAdminMajor + 1;

    void plant() override {
        RaceTest::plant();
        privateDev.blockNode("/dev/emcpowerb", kOther, 16);
        privateDev.blockNode("/dev/emcpowerb1", kOther, 17);
        fakeHost.scriptPartitions("/dev/emcpowerb", 1, {{2048, 8192, 0, 1, 0}});
        // init alternates between the two numbers, run after run.
        fakeHost.respondWith([this](const std::string& command) -> Reply {
            if (command == kDiscovery)
                return {0, (discoveries_++ % 2 == 0 ? std::to_string(kOther) : std::to_string(kAdminMajor)) + "\n",
                        ""};
            if (command == kPartitionListing)
                return {0,
                        "120 32 emcpowerc\n120 33 emcpowerc1\n121 16 emcpowerb\n121 17 emcpowerb1\n",
                        ""};
            if (command == pathQuery("emcpowerc")) return {0, "sdb\nsdc\n", ""};
            if (command == pathQuery("emcpowerc1")) return {0, "sdb\n", ""};
            if (command == pathQuery("emcpowerb")) return {0, "sdd\n", ""};
            if (command == pathQuery("emcpowerb1")) return {0, "sde\n", ""};
            return {127, "", "no answer for [" + command + "]"};
        });
    }

    void TearDown() override { fakeHost.reset(); } // the responder refers to this test

    std::atomic<long> discoveries_{0};
};

TEST_F(InitRaceTest, EveryAnswerIsOneOfTheTwoValidOnes) {
    const std::vector<NamedCall> calls = {
        {"isPartitionDevice emcpowerc1", partitionCheck("/dev/emcpowerc1")},
        {"isPartitionDevice emcpowerb1", partitionCheck("/dev/emcpowerb1")},
        {"getPartitionDevices emcpowerc", partitionList("/dev/emcpowerc", 4)},
        {"getPartitionDevices emcpowerb", partitionList("/dev/emcpowerb", 4)},
        {"getPartitionDevices emcpowerc1", partitionList("/dev/emcpowerc1", 4)},
        {"getPartitionDevices emcpowerb1", partitionList("/dev/emcpowerb1", 4)},
        {"getUnderlyingDevices emcpowerc1", underlying("/dev/emcpowerc1", 4)},
    };
    std::vector<std::vector<std::string>> valid(calls.size());
    for (const int major : {kAdminMajor, kOther}) {
        admin_major = major;
        for (std::size_t i = 0; i < calls.size(); ++i) valid[i].push_back(calls[i].call());
    }
    // The two numbers tell the answers apart, except where a partition is
    // refused either way (as a partition, or for its major number).
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const bool refusedEitherWay = calls[i].name.find("getPartitionDevices emcpower", 0) == 0 &&
                                      calls[i].name.back() == '1';
        if (refusedEitherWay)
            ASSERT_EQ(valid[i][0].substr(0, 12), "r=-1 count=0") << calls[i].name;
        else
            ASSERT_NE(valid[i][0], valid[i][1]) << calls[i].name;
    }

    std::atomic<long> inits{0};
    std::atomic<long> failedInits{0};
    const auto mismatches = hammer(calls, valid, rounds(1000), [&] {
        ErrorOut e;
        if (init(nullptr, &e.err, e.errbuf()) != _VendorName || !e.untouched()) ++failedInits;
        ++inits;
    });
    EXPECT_EQ(mismatches, std::vector<std::string>{});
    EXPECT_GT(inits.load(), 1) << "init must have run while the others did";
    EXPECT_EQ(failedInits.load(), 0);
    EXPECT_TRUE(admin_major.load() == kAdminMajor || admin_major.load() == kOther);
}

// Regression: getPartitionDevices read the admin major number twice, once in
// its partition check and once in its major check. An init between the two
// let a partition pass both (the first saw the other number, the second its
// own), and the host's partition reader was asked about a partition. Runs
// for a bounded time and looks at every read the reader was asked for.
TEST_F(InitRaceTest, PartitionReaderIsNeverAskedAboutAPartition) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(1000);
    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    std::vector<std::thread> threads;
    for (int id = 0; id < kThreads - 1; ++id)
        threads.emplace_back([&, id] {
            const char* path = id % 2 ? "/dev/emcpowerc1" : "/dev/emcpowerb1";
            while (!stop.load(std::memory_order_relaxed)) {
                std::vector<TmPartInfo> records(4);
                int count = 4;
                int err = 0;
                char errbuf[MAXMPIOERRORLEN];
                getPartitionDevices(nullptr, path, records.data(), &count, 0, &err, errbuf);
                calls.fetch_add(1, std::memory_order_relaxed);
            }
        });
    threads.emplace_back([&] {
        while (Clock::now() < until) {
            int err = 0;
            char errbuf[MAXMPIOERRORLEN];
            init(nullptr, &err, errbuf);
        }
        stop = true;
    });
    for (auto& t : threads) t.join();

    std::vector<std::string> partitions;
    for (const auto& read : fakeHost.partitionReads())
        if (read.device != "/dev/emcpowerc" && read.device != "/dev/emcpowerb")
            partitions.push_back(read.device);
    EXPECT_EQ(partitions.size(), 0u) << partitions.size() << " partitions read, first: " << (partitions.empty() ? "" : partitions[0]) << " of "
                                     << calls.load() << " calls";
    EXPECT_GT(calls.load(), 0);
}

} // namespace
