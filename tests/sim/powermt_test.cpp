// SPDX-License-Identifier: Apache-2.0
// The powermt simulator, run as a program on a state directory whose dev
// root is a temporary directory.
#include "machine/checked_files.h"
#include "machine/device_names.h"
#include "machine/load.h"
#include "machine/node_sync.h"
#include "machine/publish.h"
#include "machine/render.h"
#include "machine/state_dir.h"
#include "machine/state_file.h"
#include "powermt/control_command.h"
#include "powermt/powermt_command.h"

#include "pinned_commands.h"
#include "processes.h"
#include "temp_dir.h"
#include "text.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <chrono>
#include <cstring>
#include <thread>
#include <optional>

namespace {

namespace process = mpio::process;

using mpiotest::contains;

const char* const kTopology = R"(admin-major 120
device emcpowera symmetrix id=000190300123 ldev=0123A size=8G
  path sdb qla2xxx "FA  7eA" active alive
  path sdf lpfc    "FA  8eA" active dead errors=3
  partition 1 2G
  partition 2 6G
device emcpowerb clariion id=APM00112233445 group=hostgroup1 ldev=6006016012345678 lun=7 size=4G
  path sdc qla2xxx "SP A0" active alive
  path sdg lpfc    "SP B1" standby alive
  partitions 3
device emcpowerd symmetrix id=000190300123 ldev=0124A size=1G unconfigured
  path sdd qla2xxx "FA  7eB" active alive
  partition 1 100M
device emcpoweraa vnx id=CKM00123400567 group=g ldev=60060160AB123400 lun=12 size=2G
  path sdh qla2xxx "SP A2" unlic alive
  path sdi lpfc    "SP B2" active alive
  path sdj lpfc    "SP A3" active dead
# Room for a test to rewrite words in place: 0123456789abcdefghijklmnopqrstuvwxyz
)";

// The 64-bit checksum that once keyed the display cache folded eight-byte
// words in as h = rotl(h ^ word, 29) * K, then the length. Changing one word
// after `from` (one without a newline or NUL, as it lies in a comment) by
// the difference of the two running values makes `edited`, which equals
// `original` after `from`, keep the checksum of `original`.
void keepTheOldChecksum(const std::string& original, std::string& edited, std::size_t from) {
    const auto foldTo = [](const std::string& text, std::size_t end) {
        std::uint64_t h = 0x9E3779B97F4A7C15ULL;
        for (std::size_t at = 0; at < end; at += 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + at, 8);
            h ^= word;
            h = ((h << 29) | (h >> 35)) * 0xBF58476D1CE4E5B9ULL;
        }
        return h;
    };
    for (std::size_t at = (from + 7) / 8 * 8; at + 8 < edited.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, original.data() + at, 8);
        word ^= foldTo(original, at) ^ foldTo(edited, at);
        std::string bytes(8, '\0');
        std::memcpy(bytes.data(), &word, 8);
        if (bytes.find_first_of(std::string("\n\0", 2)) != std::string::npos) continue;
        edited.replace(at, 8, bytes);
        return;
    }
    FAIL() << "no word to change after byte " << from;
}

class Powermt : public ::testing::Test {
protected:
    void SetUp() override { makeState(kTopology); }

    // The machine of `text`, with the devices it configures unless `configured` names others.
    void makeState(const std::string& text, const std::optional<sim::NameSet>& configured = std::nullopt) {
        topo = sim::parseTopology(text, "test.topo");
        sim::SimState state;
        state.devRoot = devRoot();
        for (const auto& d : topo.devices)
            if (d.configured) state.configured.insert(d.name);
        if (configured) state.configured = *configured;
        sim::writeInitialState(dir, text, topo, state);
        nodesMade = ::geteuid() == 0;
        if (nodesMade) sim::syncNodes(state.devRoot, topo, state.configured);
        std::filesystem::create_directories(tmp / "bin");
        std::filesystem::create_symlink(POWERMT_SIM, tmp / "bin/powermt");
    }

    std::string devRoot() const { return tmp / "dev"; }

    process::ProgramRun sh(const std::string& script) const {
        return mpiotest::shell(script, {"PATH=" + (tmp / "bin") + ":/usr/bin:/bin",
                                       std::string(sim::kStateEnv) + "=" + dir.dir});
    }
    process::ProgramRun powermt(const std::string& args) const { return sh("powermt " + args); }

    std::string partitionsFile() const { return sim::readFile(dir.partitions()); }
    sim::SimState state() const { return sim::parseState(sim::readFile(dir.state())); }

    // Waits until the clock has left the tick of the last change to the
    // state directory's files: only then does a display keep its answer.
    void letTheFilesSettle() const {
        for (;;) {
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
            const auto topology = sim::identityOf(dir.topology()), state = sim::identityOf(dir.state());
            if (topology && state && sim::changedBefore(*topology, now) && sim::changedBefore(*state, now)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void requireNodes() {
        if (!nodesMade) GTEST_SKIP() << "making device nodes needs root";
    }

    static bool isBlock(const std::string& path, int major, unsigned minor) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
               st.st_rdev == makedev(static_cast<unsigned>(major), minor);
    }
    static bool exists(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0;
    }

    mpiotest::TempDir tmp;
    sim::StateDir dir{tmp.path()};
    sim::Topology topo;
    bool nodesMade = false;
};

// The two pipelines that the plug-in runs over powermt's output.
const std::string& kListPipeline = mpiotest::kPseudoListing;
std::string pathPipeline(const std::string& dev) { return mpiotest::pathQuery(dev); }

TEST_F(Powermt, PipelinesGiveTheConfiguredDevicesAndTheirActivePaths) {
    const std::pair<std::string, const char*> cases[] = {
        {kListPipeline, "emcpowera\nemcpowerb\nemcpoweraa\n"}, // the configured ones, in index order
        {pathPipeline("emcpowera"), "sdb\nsdf\n"},             // active alive, active dead
        {pathPipeline("/dev/emcpowerb"), "sdc\n"},              // the standby path is left out
        {pathPipeline("emcpoweraa"), "sdi\nsdj\n"},            // so is the unlicensed one
    };
    for (const auto& [pipeline, out] : cases) {
        const auto r = sh(pipeline);
        EXPECT_EQ(r.exitStatus, 0) << pipeline << r.err;
        EXPECT_EQ(r.out, out) << pipeline;
    }
}

TEST_F(Powermt, DisplayOfOneDeviceIsItsBlock) {
    for (const char* dev : {"emcpowerb", "/dev/emcpowerb"}) {
        const auto r = powermt(std::string("display dev=") + dev);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, sim::displayBlock(*topo.find("emcpowerb"))) << dev;
        EXPECT_EQ(r.err, "");
    }
    const auto all = powermt("display dev=all");
    EXPECT_EQ(all.out, sim::displayAll(topo, {"emcpowera", "emcpowerb", "emcpoweraa"}));
}

TEST_F(Powermt, DisplaysShowTheFilesAsTheyAreNow) {
    // A display leaves its answer for the next ones; a change to the state or
    // the topology is seen at once, even one rewritten in place at its size.
    letTheFilesSettle();
    ASSERT_EQ(powermt("display dev=emcpowera").out, sim::displayBlock(*topo.find("emcpowera")));
    std::string cache = sim::readFile(dir.displayCache());
    cache.replace(cache.find("Pseudo name=emcpowera"), 21, "Pseudo name=emcpowerQ");
    sim::rewriteInPlace(dir.displayCache(), cache);
    EXPECT_TRUE(contains(powermt("display dev=emcpowera").out, "emcpowerQ")) << "answered from the cache";
    // A path dead to alive in place, at the same size, that keeps the old
    // checksum and the modification time.
    const std::string before = sim::readFile(dir.topology());
    std::string revived = before;
    const std::string deadPath = "sdf lpfc    \"FA  8eA\" active dead";
    revived.replace(revived.find(deadPath), deadPath.size(), "sdf lpfc   \"FA  8eA\" active alive");
    keepTheOldChecksum(before, revived, revived.find("# Room") + 2);
    struct stat old {};
    ASSERT_EQ(::stat(dir.topology().c_str(), &old), 0);
    sim::rewriteInPlace(dir.topology(), revived);
    const timespec times[2] = {old.st_atim, old.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.topology().c_str(), times, 0), 0);
    EXPECT_TRUE(contains(powermt("display dev=emcpowera").out, "sdf          FA  8eA   active  alive"))
        << "the revived path";
    std::string state = sim::readFile(dir.state());
    state.replace(state.find("configured emcpowera"), 20, "configured emcpowerd");
    sim::rewriteInPlace(dir.state(), state);
    EXPECT_EQ(powermt("display dev=emcpowera").exitStatus, sim::kPowermtBadDevice);
    std::string topology = sim::readFile(dir.topology());
    topology.replace(topology.find("FA  7eB"), 7, "FA  9eB");
    sim::rewriteInPlace(dir.topology(), topology);
    EXPECT_TRUE(contains(powermt("display dev=emcpowerd").out, "sdd          FA  9eB")) << "the topology's change";
    EXPECT_TRUE(contains(powermt("display dev=all").out, "sdd          FA  9eB"));
    // A cache whose sizes do not add up to its file is not read.
    cache = sim::readFile(dir.displayCache());
    const std::size_t blockBytes = cache.rfind(' ', cache.find('\n')) + 1;
    cache.replace(blockBytes, cache.find('\n') - blockBytes, "99999999999999");
    sim::rewriteInPlace(dir.displayCache(), cache);
    const sim::Loaded now = sim::loadState(dir);
    EXPECT_EQ(powermt("display dev=all").out, sim::displayAll(now.topology, now.state.configured));
}

TEST_F(Powermt, UnknownDevicesAreRefused) {
    for (const char* verb : {"display dev=", "remove force dev=", "remove dev="}) {
        for (const char* dev : {"emcpowerzz", "emcpowerd", "emcpowera1", "sdb", "/dev//emcpowera", "/dev/sdb", "all1"}) {
            const auto r = powermt(verb + std::string(dev));
            EXPECT_EQ(r.exitStatus, sim::kPowermtBadDevice) << verb << dev;
            EXPECT_EQ(r.err, "Bad dev value " + std::string(dev) + ", or not under Powerpath control.\n") << verb << dev;
            EXPECT_EQ(r.out, "");
        }
    }
    EXPECT_EQ(state().configured, (sim::NameSet{"emcpowera", "emcpowerb", "emcpoweraa"}));
}

TEST_F(Powermt, MalformedCommandLinesGetTheUsage) {
    for (const char* args : {"", "display", "display dev=", "display emcpowera", "display dev=all extra",
                             "remove", "remove force", "remove force dev=emcpowera dev=emcpowerb",
                             "remove dev=emcpowera force", "config now", "release all", "save now", "save file=",
                             "frobnicate", "DISPLAY dev=all"}) {
        const auto r = powermt(args);
        EXPECT_EQ(r.exitStatus, sim::kPowermtUsage) << args;
        EXPECT_EQ(r.err.rfind("usage: powermt display", 0), 0U) << args << ": " << r.err;
        EXPECT_EQ(r.out, "") << args;
    }
    const auto help = powermt("help");
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out.rfind("usage:", 0), 0U);
}

TEST_F(Powermt, WithoutAStateItSaysWhy) {
    const auto none = mpiotest::shell(std::string(POWERMT_SIM) + " display dev=all", {"-u", sim::kStateEnv});
    EXPECT_EQ(none.exitStatus, sim::kPowermtNoState);
    EXPECT_TRUE(contains(none.err, sim::kStateEnv)) << none.err;
    const auto missing = mpiotest::shell(std::string(POWERMT_SIM) + " display dev=all",
                                        {std::string(sim::kStateEnv) + "=" + (tmp / "nowhere")});
    EXPECT_EQ(missing.exitStatus, sim::kPowermtNoState);
    EXPECT_TRUE(contains(missing.err, "nowhere")) << missing.err;
    sim::writeFileAtomic(dir.state(), "dev-root " + devRoot() + "\nconfigured emcpowerq\n");
    const auto stranger = powermt("display dev=all");
    EXPECT_EQ(stranger.exitStatus, sim::kPowermtNoState);
    EXPECT_TRUE(contains(stranger.err, "state names emcpowerq, which the topology lacks")) << stranger.err;
}

TEST_F(Powermt, RemoveTakesTheDeviceOutOfEveryView) {
    requireNodes();
    struct stat before {};
    ASSERT_EQ(::stat(dir.partitions().c_str(), &before), 0);
    ASSERT_TRUE(isBlock(devRoot() + "/emcpowerb2", 120, 18));

    const auto r = powermt("remove force dev=/dev/emcpowerb");
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");

    EXPECT_EQ(sh(kListPipeline).out, "emcpowera\nemcpoweraa\n");
    EXPECT_EQ(powermt("display dev=emcpowerb").exitStatus, sim::kPowermtBadDevice);
    const std::string parts = partitionsFile();
    EXPECT_FALSE(contains(parts, "emcpowerb")) << parts;
    EXPECT_TRUE(contains(parts, " sdc\n")) << "the paths stay with the kernel";
    EXPECT_TRUE(contains(parts, " 120        0    8388608 emcpowera\n"));
    for (const char* gone : {"emcpowerb", "emcpowerb1", "emcpowerb3", "disk/by-id/scsi-36006016012345678",
                             "disk/by-id/scsi-36006016012345678-part2"})
        EXPECT_FALSE(exists(devRoot() + "/" + gone)) << gone;
    EXPECT_TRUE(isBlock(devRoot() + "/emcpowera1", 120, 1));
    EXPECT_TRUE(isBlock(devRoot() + "/sdc", 8, 32));

    struct stat after {};
    ASSERT_EQ(::stat(dir.partitions().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "/proc/partitions is bound to this inode";
}

TEST_F(Powermt, ConfigBringsBackRemovedAndUnconfiguredDevices) {
    requireNodes();
    EXPECT_FALSE(exists(devRoot() + "/emcpowerd"));
    ASSERT_EQ(powermt("remove force dev=all").exitStatus, 0);
    EXPECT_EQ(sh(kListPipeline).out, "");
    EXPECT_FALSE(contains(partitionsFile(), "emcpower"));
    sim::writeNewFile(devRoot() + "/emcpowerd", "not a node"); // replaced by the node

    const auto r = powermt("config");
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(sh(kListPipeline).out, "emcpowera\nemcpowerb\nemcpowerd\nemcpoweraa\n");
    EXPECT_EQ(partitionsFile(), sim::procPartitions(topo, {"emcpowera", "emcpowerb", "emcpowerd", "emcpoweraa"}));
    EXPECT_TRUE(isBlock(devRoot() + "/emcpowerd", 120, 48));
    EXPECT_TRUE(isBlock(devRoot() + "/emcpowerd1", 120, 49));
    EXPECT_TRUE(isBlock(devRoot() + "/emcpoweraa", 120, 416));
    EXPECT_EQ(std::filesystem::read_symlink(devRoot() + "/disk/by-id/scsi-30124A-part1"), "../../emcpowerd1");
    EXPECT_EQ(sh(pathPipeline("emcpowerd")).out, "sdd\n");
}

TEST_F(Powermt, SaveWritesTheConfiguration) {
    requireNodes();
    ASSERT_EQ(powermt("remove force dev=emcpowera").exitStatus, 0);
    const auto r = powermt("save");
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::string saved = sim::readFile(dir.custom());
    EXPECT_EQ(saved, sim::savedConfiguration(topo, {"emcpowerb", "emcpoweraa"}));
    EXPECT_FALSE(contains(saved, "emcpowera "));

    const std::string other = tmp / "elsewhere.custom";
    ASSERT_EQ(powermt("save file=" + other).exitStatus, 0);
    EXPECT_EQ(sim::readFile(other), saved);
    // A link is written through, and stays.
    const std::string toOutput = tmp / "to-stdout";
    std::filesystem::create_symlink("/proc/self/fd/1", toOutput);
    EXPECT_EQ(powermt("save file=" + toOutput).out, saved);
    EXPECT_TRUE(std::filesystem::is_symlink(toOutput));
    EXPECT_EQ(powermt("release").exitStatus, 0);
}

class PowermtFailures : public Powermt {
protected:
    void SetUp() override {
        makeState(std::string(kTopology) + "fail save 2 \"array busy\"\nfail remove 5\n", sim::NameSet{"emcpowera"});
    }
};

TEST_F(PowermtFailures, AFailLineMakesThatCommandFail) {
    const auto save = powermt("save");
    EXPECT_EQ(save.exitStatus, 2);
    EXPECT_EQ(save.err, "array busy\n");
    EXPECT_FALSE(std::filesystem::exists(dir.custom()));
    const auto remove = powermt("remove force dev=emcpowera");
    EXPECT_EQ(remove.exitStatus, 5);
    EXPECT_EQ(remove.err, "");
    EXPECT_EQ(state().configured, sim::NameSet{"emcpowera"});
    EXPECT_EQ(powermt("release").exitStatus, 0);
    EXPECT_EQ(powermt("display dev=emcpowera").exitStatus, 0);
    EXPECT_EQ(powermt("save now").exitStatus, sim::kPowermtUsage) << "the command line is checked first";
    // A fault set at run time stands in for the line; cleared, the line is back.
    ASSERT_EQ(powermt("control fault save fail 9").exitStatus, 0);
    EXPECT_EQ(powermt("save").exitStatus, 9);
    ASSERT_EQ(powermt("control fault save clear").exitStatus, 0);
    EXPECT_EQ(powermt("save").exitStatus, 2);
}

// A device block to add, in a file of the test's directory.
const char* const kNewDevice = R"(device emcpowerf symmetrix id=000190300999 ldev=0999A size=1G
  path sdk qla2xxx "FA  1aA" active alive
  path sdl lpfc    "FA  2aA" standby alive
  partitions 2
)";

class Control : public Powermt {
protected:
    std::string file(const std::string& name, const std::string& text) const {
        const std::string path = tmp / name;
        sim::writeFileAtomic(path, text);
        return path;
    }
    // The Mode and State columns of a path's display line, or "" without one.
    std::string modeAndState(const std::string& dev, const std::string& sd) const {
        return sh("powermt display dev=" + dev + " | awk '$3 == \"" + sd + "\" { print $(NF-3), $(NF-2) }'").out;
    }
};

TEST_F(Control, BadInputIsRefusedAndChangesNothing) {
    const std::string dup = file("dup.topo", "device emcpowerq symmetrix id=1 ldev=0125A\n  path sdb x \"FA 1\" active alive\n");
    const std::string failLine = file("fail.topo", std::string(kNewDevice) + "fail display 2\n");
    // Additions that take the machine past a limit: the bytes of its
    // topology, and the nodes in /dev (16 paths and 15 partitions make 288).
    const std::string tooLong = file("long.topo", std::string(kNewDevice) + "# " + std::string(sim::kMaxTopologyBytes - 200, 'x'));
    std::string nodes;
    for (unsigned long i = 100; i < 100 + 3641; ++i) {
        nodes += "device " + sim::pseudoName(i) + " symmetrix id=1 ldev=N" + std::to_string(i) + "\n  partitions 15\n";
        for (unsigned long disk = i * 16; disk < i * 16 + 16; ++disk)
            nodes += "  path " + sim::sdName(disk) + " lpfc \"FA 1\" active alive\n";
    }
    const std::string tooMany = file("many.topo", nodes);
    const struct {
        std::string args;
        int status;
        const char* says;
    } rows[] = {
        {"control", sim::kPowermtUsage, "usage: powermt control path"},
        {"control path sdb", sim::kPowermtUsage, "usage: powermt control path"},
        {"control device frob emcpowera", sim::kPowermtUsage, "usage: powermt control path"},
        {"control fault display explode", sim::kPowermtUsage, "usage: powermt control path"},
        {"control fault display clear now", sim::kPowermtUsage, "usage: powermt control path"},
        {"control path sdb zombie", sim::kControlRefused, "'zombie' is not alive, dead, active, standby or unlic"},
        {"control path sdz dead", sim::kControlRefused, "no path sdz on this machine"},
        {"control device remove emcpowerq", sim::kControlRefused, "no device emcpowerq on this machine"},
        {"control device add " + (tmp / "missing.topo"), sim::kControlRefused, "missing.topo"},
        {"control device add " + dup, sim::kControlRefused, "does not fit the machine"},
        {"control device add " + failLine, sim::kControlRefused, "fail.topo:5: only device, path, partition and partitions"},
        {"control device add " + tooLong, sim::kControlRefused, "more than the 33554432 (32 MiB) a topology may have"},
        {"control device add " + tooMany, sim::kControlRefused, "device nodes and links in /dev, more than the 1048576"},
        {"control fault frob fail 2", sim::kControlRefused, "unknown command 'frob'"},
        {"control fault display fail 256", sim::kControlRefused, "the status must be a number from 1 to 255"},
        {"control fault display hang 0", sim::kControlRefused, "the seconds must be a number from 1 to 3600"},
        {"control fault display fail 2 \"$(printf 'a\\nb')\"", sim::kControlRefused, "one line of printable text"},
    };
    const std::string stateBefore = sim::readFile(dir.state());
    const std::string topologyBefore = sim::readFile(dir.topology());
    for (const auto& row : rows) {
        const auto r = powermt(row.args);
        EXPECT_EQ(r.exitStatus, row.status) << row.args;
        EXPECT_TRUE(contains(r.err, row.says)) << row.args << ": " << r.err;
        EXPECT_EQ(r.out, "") << row.args;
    }
    EXPECT_EQ(sim::readFile(dir.state()), stateBefore);
    EXPECT_EQ(sim::readFile(dir.topology()), topologyBefore);
}

TEST_F(Control, PathEventsShowInTheDisplayAndTheListedPaths) {
    // Each step changes one word of a path; dead active paths are still
    // listed, standby and unlicensed ones are not.
    const struct {
        const char* event;
        const char* dev;
        const char* sd;
        const char* shown;
        const char* listed;
    } steps[] = {
        {"sdb dead", "emcpowera", "sdb", "active dead\n", "sdb\nsdf\n"},
        {"sdb standby", "emcpowera", "sdb", "standby dead\n", "sdf\n"},
        {"sdb active", "emcpowera", "sdb", "active dead\n", "sdb\nsdf\n"},
        {"sdb alive", "emcpowera", "sdb", "active alive\n", "sdb\nsdf\n"},
        {"sdg active", "emcpowerb", "sdg", "active alive\n", "sdc\nsdg\n"},
        {"sdh active", "emcpoweraa", "sdh", "active alive\n", "sdh\nsdi\nsdj\n"},
        {"sdi unlic", "emcpoweraa", "sdi", "unlic alive\n", "sdh\nsdj\n"},
    };
    for (const auto& step : steps) {
        const auto r = powermt(std::string("control path ") + step.event);
        ASSERT_EQ(r.exitStatus, 0) << step.event << ": " << r.err;
        EXPECT_EQ(modeAndState(step.dev, step.sd), step.shown) << step.event;
        EXPECT_EQ(sh(pathPipeline(step.dev)).out, step.listed) << step.event;
    }
}

TEST_F(Control, DevicesArriveAndLeaveAtTheNextConfig) {
    requireNodes();
    // An unconfigured device leaves at once.
    ASSERT_EQ(powermt("control device remove emcpowerd").exitStatus, 0);
    EXPECT_FALSE(contains(partitionsFile(), " sdd\n"));
    EXPECT_FALSE(exists(devRoot() + "/sdd1"));
    ASSERT_EQ(powermt("control device add " + file("new.topo", kNewDevice)).exitStatus, 0);
    EXPECT_TRUE(contains(partitionsFile(), " sdk\n")) << "the kernel sees the new LUN's paths at once";
    EXPECT_TRUE(isBlock(devRoot() + "/sdk2", 8, 162));
    EXPECT_EQ(powermt("display dev=emcpowerf").exitStatus, sim::kPowermtBadDevice) << "not before config";
    ASSERT_EQ(powermt("config").exitStatus, 0);
    EXPECT_EQ(sh(pathPipeline("emcpowerf")).out, "sdk\n");
    EXPECT_TRUE(isBlock(devRoot() + "/emcpowerf2", 120, 82));

    // A configured device that leaves keeps its block, with every path
    // dead, until config drops it with its events, paths and nodes.
    ASSERT_EQ(powermt("control path sdl active").exitStatus, 0);
    ASSERT_EQ(powermt("control device remove emcpowerf").exitStatus, 0);
    EXPECT_EQ(modeAndState("emcpowerf", "sdk") + modeAndState("emcpowerf", "sdl"), "active dead\nactive dead\n");
    EXPECT_EQ(powermt("control path sdk alive").exitStatus, sim::kControlRefused);
    EXPECT_EQ(powermt("control device remove emcpowerf").exitStatus, sim::kControlRefused);
    const auto config = powermt("config");
    ASSERT_EQ(config.exitStatus, 0) << config.err;
    EXPECT_EQ(sh(kListPipeline).out, "emcpowera\nemcpowerb\nemcpoweraa\n");
    for (const char* gone : {"sdk", "sdk1", "sdl2", "sdd", "emcpowerf", "emcpowerf1", "disk/by-id/scsi-30999A"})
        EXPECT_FALSE(exists(devRoot() + "/" + gone)) << gone;
    const sim::Loaded now = sim::loadState(dir);
    EXPECT_EQ(now.topology.devices.size(), 3U);
    EXPECT_TRUE(now.state.departed.empty() && now.state.pathEvents.empty());
    EXPECT_EQ(partitionsFile(), sim::procPartitions(now.topology, now.state.configured));
}

TEST_F(Control, AnAdditionWithinTheLimitsKeepsTheMachineWorking) {
    requireNodes();
    // 17 MB of topology: more than the other files of a state directory may have.
    const std::string big = file("big.topo", std::string(kNewDevice) + "# " + std::string(17000000, 'x') + "\n");
    ASSERT_EQ(powermt("control device add " + big).exitStatus, 0);
    ASSERT_EQ(powermt("config").exitStatus, 0);
    EXPECT_EQ(sh(pathPipeline("emcpowerf")).out, "sdk\n");
    EXPECT_EQ(powermt("control device remove emcpowerf").exitStatus, 0);
}

TEST_F(Control, FaultsStandInForTheSubCommandUntilCleared) {
    using Clock = std::chrono::steady_clock;
    const std::string block = sim::displayBlock(*topo.find("emcpowera"));
    ASSERT_EQ(powermt("display dev=emcpowera").out, block) << "a display before any fault";
    const struct {
        const char* fault;
        const char* command;
        int status;
        bool normalOutput;
        const char* err;
    } rows[] = {
        {"display fail 7 \"array gone\"", "display dev=emcpowera", 7, false, "array gone\n"},
        {"display garbage", "display dev=emcpowera", 0, false, ""},
        {"display hang 1", "display dev=emcpowera", 0, true, ""},
        {"display clear", "display dev=emcpowera", 0, true, ""},
        {"config fail 3", "config", 3, false, ""},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(powermt(std::string("control fault ") + row.fault).exitStatus, 0) << row.fault;
        const auto start = Clock::now();
        const auto r = powermt(row.command);
        const auto took = Clock::now() - start;
        EXPECT_EQ(r.exitStatus, row.status) << row.fault;
        EXPECT_EQ(r.err, row.err) << row.fault;
        EXPECT_EQ(r.out == block, row.normalOutput) << row.fault << ": " << r.out;
        EXPECT_EQ(took >= std::chrono::seconds(1), contains(row.fault, "hang")) << row.fault;
    }
    EXPECT_EQ(state().configured, (sim::NameSet{"emcpowera", "emcpowerb", "emcpoweraa"})) << "a failed config did nothing";
    EXPECT_TRUE(contains(powermt("display dev=all").out, "Pseudo name=emcpowera")) << "display is cleared";
}

TEST_F(Control, AHangingCommandHoldsNoLock) {
    ASSERT_EQ(powermt("control fault display hang 3").exitStatus, 0);
    // The display sleeps in the background while the path dies; it then
    // shows the path dead, and the change did not wait for it.
    const auto r = sh("powermt display dev=emcpowera > " + (tmp / "shown") + " & sleep 0.5;"
                      " s=$(date +%s%N); powermt control path sdb dead; e=$(date +%s%N); wait;"
                      " echo $(( (e - s) / 1000000 ))");
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_LT(std::stol(r.out), 1500) << "ms the change waited";
    EXPECT_TRUE(contains(sim::readFile(tmp / "shown"), "sdb          FA  7eA   active  dead"));
}

TEST_F(Control, AChangeGoesBeforeDisplaysThatComeWhileItWaits) {
    // The topology becomes a FIFO: a display holds the shared lock while it
    // waits to read it, and the script feeds it to one reader at a time. A
    // display that comes while a change waits for the lock lets it go first,
    // so displays that overlap can never keep a change out.
    const auto r = sh(R"(
        S=$POWERMT_SIM_STATE
        mv "$S/topology" "$S/text" && mkfifo "$S/topology" || exit 1
        held() { ! flock -n "$1" "$S/$2" true; }
        powermt display dev=all > /dev/null & first=$!
        for i in $(seq 1000); do held -x lock && break; sleep 0.01; done
        powermt control path sdb dead & change=$!
        for i in $(seq 500); do held -s lock-gate && break; sleep 0.01; done
        powermt display dev=emcpowera > "$S/shown" & next=$!
        sleep 0.3
        ( while [ ! -e "$S/fed" ]; do timeout 1 sh -c 'cat "$1" > "$2"' sh "$S/text" "$S/topology"; done ) &
        wait $first; wait $change; echo "change $?"; wait $next
        touch "$S/fed"; wait
        awk '$3 == "sdb" { print "sdb shown " $(NF-2) }' "$S/shown"
    )");
    EXPECT_EQ(r.out, "change 0\nsdb shown dead\n") << r.err;
}

TEST_F(Powermt, ConcurrentRunsKeepTheStateWhole) {
    requireNodes();
    // Four writers remove and restore devices while two readers list them; two
    // writers race for emcpowera, so a remove may find it gone (status 1).
    const auto r = sh(R"(
        fails=0
        for w in a b aa a; do
          ( for i in 1 2 3 4 5 6 7 8; do
              powermt remove force dev=emcpower$w 2>/dev/null; s=$?; [ $s -le 1 ] || echo "remove $s"
              powermt config || echo "config $?"
            done ) &
        done
        for r in 1 2; do
          ( for i in 1 2 3 4 5 6 7 8 9 10; do
              powermt display dev=all > /dev/null || echo "display $?"
            done ) &
        done
        wait
        powermt config || echo "final config $?"
    )");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "") << "some runs failed";
    EXPECT_EQ(r.err, "");
    const sim::NameSet all = {"emcpowera", "emcpowerb", "emcpowerd", "emcpoweraa"};
    EXPECT_EQ(state().configured, all);
    EXPECT_EQ(partitionsFile(), sim::procPartitions(topo, all));
    EXPECT_TRUE(isBlock(devRoot() + "/emcpoweraa", 120, 416));
    for (const auto& entry : std::filesystem::directory_iterator(tmp.path()))
        EXPECT_FALSE(contains(entry.path().filename().string(), ".tmp.")) << entry.path();
}

} // namespace
