// SPDX-License-Identifier: Apache-2.0
// Generated topologies: the same description gives the same bytes, the text
// parses to the machine described, and a bad description is refused.
#include "machine/checked_files.h"
#include "machine/topology.h"
#include "sandbox/topology_generator.h"

#include "mpio/process.h"
#include "temp_dir.h"
#include "text.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>

namespace {

namespace process = mpio::process;

std::string generated(const std::string& machine) { return sim::generateTopology(sim::parseMachineDescription(machine)); }

const std::string kMix = "devices=400,paths=4,partitions=3,arrays=symmetrix:2+clariion:1+vnx:1,dead=0.25,standby=0.1,seed=7";

TEST(GenerateTopology, SameDescriptionSameBytesOtherSeedOtherBytes) {
    struct Row {
        std::string a, b;
        bool same;
    };
    for (const Row& row : {
             Row{kMix, kMix, true},
             // Key order and spelling of the same values do not matter.
             {kMix, "seed=7,standby=0.100,dead=0.25,arrays=vnx:1+clariion:1+symmetrix:2,partitions=3,paths=4,devices=400",
              true},
             {kMix, kMix.substr(0, kMix.size() - 1) + "8", false},
             {"devices=50,arrays=clariion:3,seed=1", "devices=50,arrays=clariion:3,seed=2", false},
         }) {
        SCOPED_TRACE(row.a + " | " + row.b);
        EXPECT_EQ(generated(row.a) == generated(row.b), row.same);
    }
}

TEST(GenerateTopology, ParsesToTheMachineDescribed) {
    struct Row {
        std::string machine;
        std::size_t devices, paths, partitions;
        std::set<sim::ArrayKind> kinds;
        double dead, standby; // expected shares of the paths
    };
    using K = sim::ArrayKind;
    for (const Row& row : {
             Row{kMix, 400, 4, 3, {K::Symmetrix, K::Clariion, K::Vnx}, 0.25, 0.1},
             {"devices=300,paths=2,arrays=vnx:2", 300, 2, 0, {K::Vnx}, 0, 0},
             {"devices=20,paths=16,partitions=15,arrays=symmetrix,dead=1,standby=1", 20, 16, 15, {K::Symmetrix}, 1, 1},
             // Past sdzz and emcpowerzz: the names the sd driver and PowerPath give there.
             {"devices=703,paths=1", 703, 1, 0, {K::Symmetrix}, 0, 0},
         }) {
        SCOPED_TRACE(row.machine);
        const sim::Topology t = sim::parseTopology(generated(row.machine), "generated");
        ASSERT_EQ(t.devices.size(), row.devices);
        std::set<K> kinds;
        std::size_t paths = 0, dead = 0, standby = 0;
        unsigned long disk = 0;
        for (std::size_t i = 0; i < t.devices.size(); ++i) {
            const sim::Device& d = t.devices[i];
            EXPECT_EQ(d.index, i);
            EXPECT_EQ(d.partitions.size(), row.partitions);
            ASSERT_EQ(d.paths.size(), row.paths);
            kinds.insert(d.kind);
            for (const sim::Path& p : d.paths) {
                EXPECT_EQ(p.disk, disk++); // paths take the disks in order
                dead += p.state == sim::PathState::Dead;
                standby += p.mode == sim::PathMode::Standby;
            }
            paths += d.paths.size();
        }
        EXPECT_EQ(kinds, row.kinds);
        // Bernoulli draws: within 0.05 of the share for these counts.
        EXPECT_NEAR(static_cast<double>(dead) / static_cast<double>(paths), row.dead, 0.05);
        EXPECT_NEAR(static_cast<double>(standby) / static_cast<double>(paths), row.standby, 0.05);
    }
}

TEST(GenerateTopology, RefusesABadDescriptionSayingWhy) {
    struct Row {
        std::string machine, message;
    };
    for (const Row& row : {
             Row{"", "expected KEY=VALUE"},
             {"paths=4", "devices=N is required"},
             {"devices=0", "devices must be a whole number from 1 to 65536, not '0'"},
             {"devices=65537", "from 1 to 65536"},
             // The limits of every topology, so that the sandbox takes what is made.
             {"devices=65536,paths=5", "the machine has 327680 paths, more than the 262144 a topology may have"},
             {"devices=16384,paths=16,partitions=3",
              "the machine makes 1179648 device nodes and links in /dev, more than the 1048576 a topology may make"},
             {"devices=10,paths=17", "paths must be a whole number from 1 to 16"},
             {"devices=10,partitions=16", "partitions must be a whole number from 0 to 15"},
             {"devices=10,dead=1.5", "dead must be a share from 0 to 1"},
             {"devices=10,standby=0.1234567", "with at most six decimals"},
             {"devices=10,dead=-0.1", "dead must be a share"},
             {"devices=10,arrays=symmetrix:0", "at least one array"},
             {"devices=10,arrays=hitachi:1", "arrays must be symmetrix, clariion and vnx"},
             {"devices=10,arrays=vnx+vnx", "each at most once"},
             {"devices=10,size=1M", "size must be at least 2M"},
             {"devices=10,seed=x", "seed must be a whole number"},
             {"devices=10,colour=red", "unknown key 'colour'"},
         }) {
        SCOPED_TRACE(row.machine);
        try {
            sim::parseMachineDescription(row.machine);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_TRUE(mpiotest::contains(e.what(), row.message)) << e.what();
        }
    }
}

// The command line: standard output and --output give the same text; a bad
// description exits with 2 and says why.
TEST(GenerateTopology, CommandLine) {
    mpiotest::TempDir dir;
    const std::string file = dir.path() + "/g.topo";
    const std::string machine = "--generate=devices=30,paths=2,partitions=1,arrays=clariion:1+vnx:1,seed=3";
    const process::ProgramRun out = process::runProgram(MPIO_SANDBOX, {machine});
    ASSERT_EQ(out.exitStatus, 0) << out.err;
    EXPECT_EQ(out.out, generated(machine.substr(11)));
    const process::ProgramRun toFile = process::runProgram(MPIO_SANDBOX, {machine, "--output", file});
    ASSERT_EQ(toFile.exitStatus, 0) << toFile.err;
    EXPECT_EQ(toFile.out, "");
    EXPECT_EQ(sim::readFile(file), out.out);

    const process::ProgramRun bad = process::runProgram(MPIO_SANDBOX, {"--generate", "devices=10,paths=0"});
    EXPECT_EQ(bad.exitStatus, 2);
    EXPECT_TRUE(mpiotest::contains(bad.err, "paths must be a whole number from 1 to 16, not '0'")) << bad.err;
    EXPECT_EQ(bad.out, "");
}

// --output FILE where something is already: a regular file keeps its mode
// and owner; a link or a character device is written through and stays; a
// block device is refused.
TEST(GenerateTopology, OutputKeepsWhatItWritesTo) {
    if (::geteuid() != 0) GTEST_SKIP() << "device nodes and other owners need root";
    mpiotest::TempDir dir;
    const std::string file = dir / "out";
    const std::string text = generated("devices=30");
    const auto lstatOf = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st;
    };
    struct Row {
        const char* what;
        std::function<void()> make;
        int status;
        std::function<void(const process::ProgramRun&)> check;
    };
    const Row rows[] = {
        {"a regular file",
         [&] {
             sim::writeNewFile(file, "old");
             ASSERT_EQ(::chown(file.c_str(), 1234, 5678), 0);
             ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
         },
         0, [&](const process::ProgramRun&) {
             const struct stat st = lstatOf(file);
             EXPECT_EQ(st.st_mode, S_IFREG | 0640);
             EXPECT_EQ(st.st_uid, 1234U);
             EXPECT_EQ(st.st_gid, 5678U);
             EXPECT_EQ(sim::readFile(file), text);
         }},
        {"a character device", [&] { ASSERT_EQ(::mknod(file.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0); }, 0,
         [&](const process::ProgramRun&) { EXPECT_TRUE(S_ISCHR(lstatOf(file).st_mode)); }},
        {"a link to the standard output", [&] { std::filesystem::create_symlink("/proc/self/fd/1", file); }, 0,
         [&](const process::ProgramRun& r) {
             EXPECT_TRUE(S_ISLNK(lstatOf(file).st_mode));
             EXPECT_EQ(r.out, text);
         }},
        {"a block device", [&] { ASSERT_EQ(::mknod(file.c_str(), S_IFBLK | 0600, makedev(7, 200)), 0); }, 1,
         [&](const process::ProgramRun& r) {
             EXPECT_TRUE(mpiotest::contains(r.err, "cannot write " + file + ": a block device")) << r.err;
             EXPECT_TRUE(S_ISBLK(lstatOf(file).st_mode));
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove(file);
        row.make();
        const process::ProgramRun r = process::runProgram(MPIO_SANDBOX, {"--generate", "devices=30", "--output", file});
        EXPECT_EQ(r.exitStatus, row.status) << r.err;
        row.check(r);
    }
}

} // namespace
