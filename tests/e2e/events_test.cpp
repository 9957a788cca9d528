// SPDX-License-Identifier: Apache-2.0
// The plug-in while the machine changes under it: `powermt control` kills
// and moves paths, brings a new LUN onto the fabric and makes the display
// hang, while the entry points are called as a host calls them. Runs inside
// a sandbox of events.topo.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "e2e_support.h"
#include "mpio/process.h"
#include "processes.h"
#include "tmhost/TmHost.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

void control(const std::string& args) {
    const mpio::process::ProgramRun r = mpio::process::runProgram("/bin/sh", {"-c", "powermt control " + args});
    ASSERT_EQ(r.exitStatus, 0) << args << ": " << r.err;
}

// A host thread that keeps asking for the paths of one device.
class Asker {
public:
    explicit Asker(std::string device) : device_(std::move(device)), thread_([this] { run(); }) {}
    ~Asker() {
        stop_ = true;
        thread_.join();
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return answers_.size();
    }
    // Waits until `n` answers came (at most 20 s).
    void awaitCount(std::size_t n) { eventually([&] { return count() >= n; }, std::chrono::seconds(20)); }
    std::vector<Listing> answers() {
        std::lock_guard lock(mutex_);
        return answers_;
    }

private:
    void run() {
        while (!stop_) {
            Listing a = underlyingDevices(device_);
            std::lock_guard lock(mutex_);
            answers_.push_back(std::move(a));
        }
    }

    std::string device_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Listing> answers_;
    std::thread thread_;
};

TEST(Events, APathDiesAndMovesWhileAHostAsks) {
    const std::vector<std::string> both = {"/dev/sdb", "/dev/sdc"};
    const std::vector<std::string> first = {"/dev/sdb"};
    std::size_t died = 0;  // answers begun before sdc died
    std::size_t moved = 0; // ... and before it moved to standby
    std::vector<Listing> answers;
    {
        Asker asker("/dev/emcpowera");
        asker.awaitCount(3);
        control("path sdc dead");
        died = asker.count() + 1;
        asker.awaitCount(died + 3);
        control("path sdc standby");
        moved = asker.count() + 1;
        asker.awaitCount(moved + 3);
        answers = asker.answers();
    }
    ASSERT_GT(answers.size(), moved + 2) << "the host thread got too few answers";
    // A dead active path is still a path of the device; a standby one is not.
    for (std::size_t i = 0; i < answers.size(); ++i) {
        SCOPED_TRACE("answer " + std::to_string(i));
        const Listing& a = answers[i];
        EXPECT_EQ(a.result, 0);
        EXPECT_EQ(a.fault, "");
        if (i < died) {
            EXPECT_EQ(a.paths, both);
        } else if (i >= moved) {
            EXPECT_EQ(a.paths, first);
        } else {
            EXPECT_TRUE(a.paths == both || a.paths == first) << testing::PrintToString(a.paths);
        }
    }
    control("path sdc active");
    control("path sdc alive");
}

TEST(Events, AnAddedDeviceAppearsAfterRefresh) {
    const std::string added = "/dev/emcpowerf";
    auto isMpio = [&] {
        ErrorOut out;
        return api().isMPIODevice(nullptr, added.c_str(), &out.err, out.errbuf());
    };
    auto listed = [&] {
        const Listing l = listDevices(8);
        EXPECT_EQ(l.result, 0);
        EXPECT_EQ(l.fault, "");
        return l.paths;
    };
    const std::string& topo = topologyFile();
    control("device add " + topo.substr(0, topo.rfind('/') + 1) + "events-added.topo");
    EXPECT_EQ(isMpio(), 0) << "a new LUN is not managed before the rescan";
    EXPECT_EQ(listed(), (std::vector<std::string>{"/dev/emcpowera", "/dev/emcpowerb"}));
    {
        ErrorOut out;
        EXPECT_EQ(api().refreshMPIO(nullptr, &out.err, out.errbuf()), 0);
        EXPECT_TRUE(out.untouched());
    }
    EXPECT_EQ(isMpio(), 1);
    EXPECT_EQ(listed(), (std::vector<std::string>{"/dev/emcpowera", "/dev/emcpowerb", added}));
    const Listing a = underlyingDevices(added);
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.fault, "");
    EXPECT_EQ(a.paths, (std::vector<std::string>{"/dev/sdk", "/dev/sdm"}));
}

TEST(Events, AHangingDisplayIsCutOffByTheHostsTimeout) {
    control("fault display hang 60");
    tmhost::setDefaultTimeout(1);
    PathArray array(8);
    int count = 8;
    ErrorOut out;
    const auto start = Clock::now();
    const int result =
        api().getUnderlyingDevices(nullptr, "/dev/emcpowera", array.data(), &count, &out.err, out.errbuf());
    const auto took = Clock::now() - start;
    tmhost::setDefaultTimeout(0);
    control("fault display clear");
    EXPECT_EQ(result, -tmhost::kTimedOut);
    EXPECT_EQ(out.err, tmhost::kTimedOut);
    EXPECT_TRUE(contains(out.text(), "timed out")) << out.text();
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_TRUE(holds(array, {}));
    EXPECT_EQ(underlyingDevices("/dev/emcpowera").paths, (std::vector<std::string>{"/dev/sdb", "/dev/sdc"}))
        << "the display works again";
}

} // namespace
} // namespace e2e
