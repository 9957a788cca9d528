// The powermt simulator, run as a program on a state directory whose dev
// root is a temporary directory.
#include "powermt.h"
#include "render.h"
#include "simstate.h"
#include "sysfiles.h"

#include "sim_test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using simtest::contains;

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
)";

class Powermt : public ::testing::Test {
protected:
    void SetUp() override { makeState(kTopology); }

    void makeState(const std::string& text) {
        topo = sim::parseTopology(text, "test.topo");
        sim::SimState state;
        state.devRoot = devRoot();
        for (const auto& d : topo.devices)
            if (d.configured) state.configured.insert(d.name);
        sim::writeInitialState(dir, text, topo, state);
        nodesMade = ::geteuid() == 0;
        if (nodesMade) sim::syncNodes(state.devRoot, topo, state.configured);
        std::filesystem::create_directories(tmp / "bin");
        std::filesystem::create_symlink(POWERMT_SIM, tmp / "bin/powermt");
    }

    std::string devRoot() const { return tmp / "dev"; }

    sim::RunResult sh(const std::string& script) const {
        return simtest::shell(script, {"PATH=" + (tmp / "bin") + ":/usr/bin:/bin",
                                       std::string(sim::kStateEnv) + "=" + dir.dir});
    }
    sim::RunResult powermt(const std::string& args) const { return sh("powermt " + args); }

    std::string partitionsFile() const { return sim::readFile(dir.partitions()); }
    sim::SimState state() const { return sim::parseState(sim::readFile(dir.state())); }

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

    simtest::TempDir tmp;
    sim::StateDir dir{tmp.path()};
    sim::Topology topo;
    bool nodesMade = false;
};

// The two pipelines that the plug-in runs over powermt's output.
const char* const kListPipeline = "powermt display dev=all | grep 'Pseudo' | awk 'BEGIN {FS=\"=\";} {print $2;}'";
std::string pathPipeline(const std::string& dev) {
    return "powermt display dev=" + dev + " | grep -v '=' | grep 'sd' | awk '/active|passive/ { print $3 }' ";
}

TEST_F(Powermt, ListingPipelineGivesTheConfiguredPseudoDevicesInOrder) {
    const auto r = sh(kListPipeline);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "emcpowera\nemcpowerb\nemcpoweraa\n");
}

TEST_F(Powermt, PathPipelineGivesTheActivePaths) {
    const std::pair<const char*, const char*> cases[] = {
        {"emcpowera", "sdb\nsdf\n"},       // active alive, active dead
        {"/dev/emcpowerb", "sdc\n"},       // the standby path is left out
        {"emcpoweraa", "sdi\nsdj\n"},      // so is the unlicensed one
    };
    for (const auto& [dev, paths] : cases) {
        const auto r = sh(pathPipeline(dev));
        EXPECT_EQ(r.status, 0) << dev << r.err;
        EXPECT_EQ(r.out, paths) << dev;
    }
}

TEST_F(Powermt, DisplayOfOneDeviceIsItsBlock) {
    for (const char* dev : {"emcpowerb", "/dev/emcpowerb"}) {
        const auto r = powermt(std::string("display dev=") + dev);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, sim::displayBlock(*topo.find("emcpowerb"))) << dev;
        EXPECT_EQ(r.err, "");
    }
    const auto all = powermt("display dev=all");
    EXPECT_EQ(all.out, sim::displayAll(topo, {"emcpowera", "emcpowerb", "emcpoweraa"}));
}

TEST_F(Powermt, UnknownDevicesAreRefused) {
    for (const char* verb : {"display dev=", "remove force dev=", "remove dev="}) {
        for (const char* dev : {"emcpowerzz", "emcpowerd", "emcpowera1", "sdb", "/dev//emcpowera", "/dev/sdb", "all1"}) {
            const auto r = powermt(verb + std::string(dev));
            EXPECT_EQ(r.status, sim::kPowermtBadDevice) << verb << dev;
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
        EXPECT_EQ(r.status, sim::kPowermtUsage) << args;
        EXPECT_EQ(r.err.rfind("usage: powermt display", 0), 0U) << args << ": " << r.err;
        EXPECT_EQ(r.out, "") << args;
    }
    const auto help = powermt("help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage:", 0), 0U);
}

TEST_F(Powermt, WithoutAStateItSaysWhy) {
    const auto none = simtest::shell(std::string(POWERMT_SIM) + " display dev=all", {"-u", sim::kStateEnv});
    EXPECT_EQ(none.status, sim::kPowermtNoState);
    EXPECT_TRUE(contains(none.err, sim::kStateEnv)) << none.err;
    const auto missing = simtest::shell(std::string(POWERMT_SIM) + " display dev=all",
                                        {std::string(sim::kStateEnv) + "=" + (tmp / "nowhere")});
    EXPECT_EQ(missing.status, sim::kPowermtNoState);
    EXPECT_TRUE(contains(missing.err, "nowhere")) << missing.err;
}

TEST_F(Powermt, RemoveTakesTheDeviceOutOfEveryView) {
    requireNodes();
    struct stat before {};
    ASSERT_EQ(::stat(dir.partitions().c_str(), &before), 0);
    ASSERT_TRUE(isBlock(devRoot() + "/emcpowerb2", 120, 18));

    const auto r = powermt("remove force dev=/dev/emcpowerb");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");

    EXPECT_EQ(sh(kListPipeline).out, "emcpowera\nemcpoweraa\n");
    EXPECT_EQ(powermt("display dev=emcpowerb").status, sim::kPowermtBadDevice);
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
    ASSERT_EQ(powermt("remove force dev=all").status, 0);
    EXPECT_EQ(sh(kListPipeline).out, "");
    EXPECT_FALSE(contains(partitionsFile(), "emcpower"));

    const auto r = powermt("config");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sh(kListPipeline).out, "emcpowera\nemcpowerb\nemcpowerd\nemcpoweraa\n");
    EXPECT_EQ(partitionsFile(), sim::procPartitions(topo, {"emcpowera", "emcpowerb", "emcpowerd", "emcpoweraa"}));
    EXPECT_TRUE(isBlock(devRoot() + "/emcpowerd", 120, 48));
    EXPECT_TRUE(isBlock(devRoot() + "/emcpowerd1", 120, 49));
    EXPECT_TRUE(isBlock(devRoot() + "/emcpoweraa", 120, 416));
    char target[256] = {};
    ASSERT_GT(::readlink((devRoot() + "/disk/by-id/scsi-30124A-part1").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "../../emcpowerd1");
    EXPECT_EQ(sh(pathPipeline("emcpowerd")).out, "sdd\n");
}

TEST_F(Powermt, SaveWritesTheConfiguration) {
    requireNodes();
    ASSERT_EQ(powermt("remove force dev=emcpowera").status, 0);
    const auto r = powermt("save");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string saved = sim::readFile(dir.custom());
    EXPECT_EQ(saved, sim::savedConfiguration(topo, {"emcpowerb", "emcpoweraa"}));
    EXPECT_FALSE(contains(saved, "emcpowera "));

    const std::string other = tmp / "elsewhere.custom";
    ASSERT_EQ(powermt("save file=" + other).status, 0);
    EXPECT_EQ(sim::readFile(other), saved);
    EXPECT_EQ(powermt("release").status, 0);
}

TEST(PowermtFailures, AFailLineMakesThatCommandFail) {
    simtest::TempDir tmp;
    const std::string text = std::string(kTopology) + "fail save 2 \"array busy\"\nfail remove 5\n";
    const sim::Topology topo = sim::parseTopology(text, "t");
    sim::SimState state;
    state.devRoot = tmp / "dev";
    state.configured = {"emcpowera"};
    const sim::StateDir dir{tmp.path()};
    sim::writeInitialState(dir, text, topo, state);
    const auto run = [&](const std::string& args) {
        return simtest::shell(std::string(POWERMT_SIM) + " " + args,
                              {std::string(sim::kStateEnv) + "=" + tmp.path()});
    };
    const auto save = run("save");
    EXPECT_EQ(save.status, 2);
    EXPECT_EQ(save.err, "array busy\n");
    EXPECT_FALSE(std::filesystem::exists(dir.custom()));
    const auto remove = run("remove force dev=emcpowera");
    EXPECT_EQ(remove.status, 5);
    EXPECT_EQ(remove.err, "");
    EXPECT_EQ(sim::parseState(sim::readFile(dir.state())).configured, sim::NameSet{"emcpowera"});
    EXPECT_EQ(run("release").status, 0);
    EXPECT_EQ(run("display dev=emcpowera").status, 0);
    EXPECT_EQ(run("save now").status, sim::kPowermtUsage) << "the command line is checked first";
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
    EXPECT_EQ(r.status, 0);
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
