// SPDX-License-Identifier: Apache-2.0
#include "machine/topology.h"

#include "machine/device_names.h"
#include "sandbox/disk_image.h"

#include "temp_dir.h"
#include "text.h"
#include "machine/checked_files.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using sim::ArrayKind;
using sim::PathMode;
using sim::PathState;

const char* const kGood = R"(# two devices
admin-major 121
fail save 2 "the save failed"

device emcpowerb clariion id=APM00112233445 group="host group 1" ldev=6006016012345678 lun=7 size=4G owner=B
  path sdc qla2xxx "SP A0" active alive queued=2
  path sdg lpfc    "SP B1" standby dead hba=3 errors=9   # a comment
  partitions 2
device emcpowera symmetrix id=000190300123 ldev=0123A unconfigured
  path sdb qla2xxx "FA  7eA" unlic alive
  partition 2 1M
  partition 1 512
)";

TEST(TopologyParser, ReadsDevicesPathsAndPartitions) {
    const sim::Topology t = sim::parseTopology(kGood, "t.topo");
    EXPECT_EQ(t.adminMajor, 121);
    ASSERT_EQ(t.devices.size(), 2U);

    const sim::Device& a = t.devices[0]; // sorted by index
    EXPECT_EQ(a.name, "emcpowera");
    EXPECT_EQ(a.kind, ArrayKind::Symmetrix);
    EXPECT_FALSE(a.configured);
    EXPECT_EQ(a.kib, 1048576U); // default size 1G
    ASSERT_EQ(a.partitions.size(), 2U);
    EXPECT_EQ(a.partitions[0].number, 1);
    EXPECT_EQ(a.partitions[0].kib, 512U); // a plain number counts KiB
    EXPECT_EQ(a.partitions[1].kib, 1024U);
    ASSERT_EQ(a.paths.size(), 1U);
    EXPECT_EQ(a.paths[0].port, "FA  7eA");
    EXPECT_EQ(a.paths[0].mode, PathMode::Unlic);

    const sim::Device& b = t.devices[1];
    EXPECT_EQ(b.index, 1U);
    EXPECT_EQ(b.kind, ArrayKind::Clariion);
    EXPECT_EQ(b.group, "host group 1");
    EXPECT_EQ(b.lun, 7);
    EXPECT_EQ(b.owner, 'B');
    EXPECT_EQ(b.currentOwner, 'A');
    EXPECT_TRUE(b.configured);
    ASSERT_EQ(b.partitions.size(), 2U);
    EXPECT_EQ(b.partitions[0].kib, (4U * 1024 * 1024 - 1024) / 2);
    ASSERT_EQ(b.paths.size(), 2U);
    EXPECT_EQ(b.paths[0].queued, 2U);
    EXPECT_EQ(b.paths[1].disk, 6U);
    EXPECT_EQ(b.paths[1].hba, 3);
    EXPECT_EQ(b.paths[1].errors, 9U);
    EXPECT_EQ(b.paths[1].state, PathState::Dead);
    EXPECT_EQ(b.paths[1].mode, PathMode::Standby);

    ASSERT_NE(t.failureFor("save"), nullptr);
    EXPECT_EQ(t.failureFor("save")->status, 2);
    EXPECT_EQ(t.failureFor("save")->message, "the save failed");
    EXPECT_EQ(t.failureFor("display"), nullptr);
    EXPECT_FALSE(t.diskBacked());
}

TEST(TopologyParser, DiskImagesAndTheLoopMajor) {
    const sim::Topology t = sim::parseTopology(
        "device emcpowerc symmetrix id=1 ldev=2\n"
        "  path sda lpfc \"FA 1\" active alive\n"
        "  image 64M mbr 1:16M 2:16M 3:ext 5:8M 6:rest\n"
        "device emcpowerd symmetrix id=1 ldev=3\n"
        "  path sdb lpfc \"FA 1\" active alive\n"
        "  image 32M gpt 3\n"
        "device emcpowere symmetrix id=1 ldev=4\n"
        "  path sdc lpfc \"FA 1\" active alive\n"
        "  image file=disks/e.img\n",
        "t.topo", "/base");
    EXPECT_TRUE(t.diskBacked());
    EXPECT_EQ(t.adminMajor, 7);
    const auto& mbr = t.devices[0].image;
    EXPECT_EQ(mbr.kind, sim::DiskImage::Kind::Create);
    EXPECT_EQ(mbr.label, "dos");
    EXPECT_EQ(mbr.bytes, 64U << 20);
    ASSERT_EQ(mbr.parts.size(), 5U);
    EXPECT_TRUE(mbr.parts[2].extended);
    EXPECT_EQ(mbr.parts[3].number, 5);
    EXPECT_EQ(mbr.parts[3].bytes, 8U << 20);
    EXPECT_EQ(mbr.parts[4].bytes, 0U); // the rest
    const auto& gpt = t.devices[1].image;
    ASSERT_EQ(gpt.parts.size(), 3U);
    EXPECT_EQ(gpt.parts[0].bytes, gpt.parts[1].bytes);
    EXPECT_EQ(gpt.parts[2].bytes, 0U);
    EXPECT_EQ(t.devices[2].image.file, "/base/disks/e.img");
}

TEST(TopologyParser, RejectsBadInputWithItsLineNumber) {
    const std::string dev = "device emcpowera symmetrix id=1 ldev=2\n";
    const std::string path = "  path sdb lpfc \"FA 1\" active alive\n";
    const std::string clar = "device emcpowera clariion id=1 ldev=2 group=g lun=1\n";
    // 65,535 paths with 15 partitions: 1,048,592 nodes and links in /dev.
    std::string manyPaths = dev;
    for (unsigned long disk = 1; disk <= 65535; ++disk)
        manyPaths += "  path " + sim::sdName(disk) + " lpfc \"FA 1\" active alive\n";
    const std::vector<std::pair<std::string, std::pair<int, std::string>>> cases = {
        {"bogus 1\n", {1, "unknown directive 'bogus'"}},
        {"\n" + path, {2, "'path' before any 'device' line"}},
        {"admin-major 0\n", {1, "admin-major must be a number from 1 to 511"}},
        {"admin-major 8\n", {1, "is a major of the sd driver"}},
        {"admin-major 120\nadmin-major 121\n", {2, "admin-major given twice (first on line 1)"}},
        {"device emcpower1 symmetrix id=1 ldev=2\n", {1, "is not emcpower followed by letters"}},
        {"device emcpowercrxq symmetrix id=1 ldev=2\n",
         {1, "'emcpowercrxq' is out of range: emcpowera to emcpowercrxp, the pseudo devices whose 16 minors each fit in the 20-bit minor range"}},
        {"device emcpowera hitachi id=1 ldev=2\n", {1, "unknown array type 'hitachi'"}},
        {"device emcpowera symmetrix ldev=2\n" + path, {1, "needs id="}},
        {"device emcpowera symmetrix id=1\n", {1, "needs ldev="}},
        {"device emcpowera symmetrix id=1 ldev=2 lun=3\n", {1, "lun= applies to CLARiiON and VNX devices only"}},
        {"device emcpowera clariion id=1 ldev=2 lun=3\n", {1, "needs group="}},
        {"device emcpowera clariion id=1 ldev=2 group=g\n", {1, "needs lun="}},
        {"device emcpowera symmetrix id=1 ldev=2 colour=red\n", {1, "unknown device key 'colour'"}},
        {"device emcpowera symmetrix id=1 ldev=2 id=3\n", {1, "id= given twice"}},
        {"device emcpowera symmetrix id=1/2 ldev=2\n", {1, "id= must be letters and digits"}},
        {clar.substr(0, clar.size() - 1) + " owner=C\n", {1, "owner= must be A or B"}},
        {"device emcpowera symmetrix id=1 ldev=2 size=3X\n", {1, "is not a size"}},
        {dev + "\n# nothing\n", {1, "device emcpowera has no path"}},
        {dev + "  path sdb lpfc \"FA 1\" active\n", {2, "usage: path"}},
        {dev + "  path hdb lpfc \"FA 1\" active alive\n", {2, "path name 'hdb' is not sd"}},
        {dev + "  path sdbgqcw lpfc \"FA 1\" active alive\n", {2, "'sdbgqcw' is out of range: sda to sdbgqcv"}},
        {dev + "  path sdaaaaaaaaa lpfc \"FA 1\" active alive\n", {2, "'sdaaaaaaaaa' is out of range: sda to sdbgqcv"}},
        {dev + "  path sdb \"lpfc  x\" \"FA 1\" active alive\n", {2, "HBA driver"}},
        {dev + "  path sdb lpfc \"FA=1\" active alive\n", {2, "storage port"}},
        {dev + "  path sdb lpfc \"FA 1\" passive alive\n", {2, "path mode must be active, standby or unlic"}},
        {dev + "  path sdb lpfc \"FA 1\" active sleepy\n", {2, "path state must be alive or dead"}},
        {dev + "  path sdb lpfc \"FA 1\" active alive errors=x\n", {2, "errors= must be a number"}},
        {dev + "  path sdb lpfc \"FA 1 active alive\n", {2, "unterminated quote"}},
        {dev + "  path sdb lpfc \"FA" + std::string(1, '\0') + " 1\" active alive\n", {2, "a NUL byte in the line"}},
        {dev + path + "device emcpowerb symmetrix id=1 ldev=3\n  path sdb lpfc \"FA 2\" active alive\n",
         {4, "path sdb given twice (first on line 2)"}},
        {dev + path + dev + "  path sdc lpfc \"FA 1\" active alive\n", {3, "device emcpowera given twice (first on line 1)"}},
        {dev + path + "device emcpowerb symmetrix id=1 ldev=2\n  path sdc lpfc \"FA 1\" active alive\n",
         {3, "logical device id 2 used by emcpowera too"}},
        {dev + path + "  partition 16 1M\n", {3, "partition number must be from 1 to 15"}},
        {dev + path + "  partition 1 1M\n  partition 1 1M\n", {4, "partition 1 given twice"}},
        {dev + path + "  partition 1 2G\n", {3, "larger than the device"}},
        {dev + path + "  partitions 2\n  partition 3 1M\n", {4, "cannot be mixed"}},
        {dev + path + "  partitions 0\n", {3, "partition count must be from 1 to 15"}},
        {dev + path + "  image 64M mbr 1:16M\n  partition 2 1M\n", {4, "its partitions come from the image"}},
        {"device emcpowera symmetrix id=1 ldev=2 size=2G\n" + path + "  image 64M mbr 1\n", {1, "its size comes from the image"}},
        {dev + path + "  image 64M mbr 1\n  image 64M mbr 1\n", {4, "has an image already (line 3)"}},
        {dev + path + "  image 64M dos 1\n", {3, "partition table must be mbr or gpt"}},
        {dev + path + "  image 1M mbr 1\n", {3, "at least 2M"}},
        {dev + path + "  image 64M mbr 5\n", {3, "partition count must be from 1 to 4 for mbr"}},
        {dev + path + "  image 64M mbr 1:16M 5:8M\n", {3, "needs an extended partition"}},
        {dev + path + "  image 64M mbr 1:16M 3:16M\n", {3, "numbered 1, 2, ... in order"}},
        {dev + path + "  image 64M mbr 1:ext 2:16M\n", {3, "the extended partition must be the last primary"}},
        {dev + path + "  image 64M mbr 1:ext 5:8M 7:8M\n", {3, "numbered 5, 6, ... in order"}},
        {dev + path + "  image 64M gpt 1:ext\n", {3, "extended partitions exist only in an MBR"}},
        {dev + path + "  image 64M gpt 1:rest 2:8M\n", {3, "only the last partition can take the rest"}},
        {dev + path + "  image 64M mbr 1:40M 2:40M\n", {3, "do not fit in the image"}},
        {dev + path + "  image file=\n", {3, "needs a file name"}},
        {"admin-major 120\n" + dev + path + "  image 64M mbr 1\n", {1, "uses the loop major 7"}},
        {"fail explode 1\n", {1, "fail: unknown command 'explode'"}},
        {"fail save 0\n", {1, "status must be a number from 1 to 255"}},
        {"fail save 1\nfail save 2\n", {2, "'save' is already made to fail"}},
        {manyPaths + "  partitions 15\ndevice emcpowerb symmetrix id=1 ldev=3\n",
         {1, "with device emcpowera the machine makes 1048592 device nodes and links in /dev, more than the 1048576"}},
        {dev + path + "# " + std::string(sim::kMaxTopologyBytes, 'x') + "\n",
         {3, "bytes, more than the 33554432 (32 MiB) a topology may have"}},
    };
    for (const auto& [text, expected] : cases) {
        try {
            sim::parseTopology(text, "bad.topo");
            ADD_FAILURE() << "accepted:\n" << text;
        } catch (const sim::TopologyError& e) {
            EXPECT_EQ(e.line(), expected.first) << text << "\n" << e.what();
            const std::string prefix = "bad.topo:" + std::to_string(expected.first) + ": ";
            EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0U) << e.what();
            EXPECT_TRUE(mpiotest::contains(e.what(), expected.second)) << text << "\n" << e.what();
        }
    }
}

TEST(TopologyParser, TakesSdNamesPastTheSixteenClassicMajors) {
    std::string text;
    for (unsigned long i = 0; i < 257; ++i)
        text += "device " + sim::pseudoName(i) + " symmetrix id=1 ldev=L" + std::to_string(i) + "\n  path sd" +
                sim::letterName(i) + " lpfc \"FA 1\" active alive\n";
    const sim::Topology t = sim::parseTopology(text, "t.topo");
    ASSERT_EQ(t.devices.size(), 257U);
    EXPECT_EQ(t.devices.back().paths[0].sd, "sdiw");
    EXPECT_EQ(t.devices.back().paths[0].disk, 256U);
}

TEST(TopologyParser, Sizes) {
    EXPECT_EQ(sim::parseSize("4"), 4096U);
    EXPECT_EQ(sim::parseSize("4K"), 4096U);
    EXPECT_EQ(sim::parseSize("3M"), 3U << 20);
    EXPECT_EQ(sim::parseSize("2G"), 2ULL << 30);
    EXPECT_EQ(sim::parseSize("1T"), 1ULL << 40);
    for (const char* bad : {"", "M", "-1", "1.5G", "1 G", "99999999999999999999", "2000000T"})
        EXPECT_THROW(sim::parseSize(bad), std::invalid_argument) << bad;
}

TEST(ImageTables, PartitionsMustLieWithinTheImage) {
    constexpr std::uint64_t k8M = 8 << 20; // 16384 sectors
    const std::string header = "label: gpt\nunit: sectors\nsector-size: 512\n\n";
    const std::pair<std::string, std::string> cases[] = {
        {"x2 : start=2048, size=14336, type=83", ""}, // up to the last sector
        {"x2 : start=2048, size=14337, type=83", "partition 2 starts at sector 2048 and has 14337 sectors, beyond"},
        {"x3 : start=16384, size=1, type=83", "partition 3 starts at sector 16384 and has 1 sectors, beyond"},
        // start + size wraps around to 10
        {"x4 : start=16, size=18446744073709551610, type=83", "partition 4 starts at sector 16 and has 18446744073709551610"},
        {"x5 : start=2048, size=99999999999999999999, type=83", "partition 5: no start and size"},
    };
    for (const auto& [line, error] : cases) {
        try {
            const auto parts = sim::parseSfdiskDump(header + line + "\n", k8M);
            EXPECT_EQ(error, "") << line;
            ASSERT_EQ(parts.size(), 1U);
            EXPECT_EQ(parts[0].kib, 7168U);
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(!error.empty() && mpiotest::contains(e.what(), error)) << line << "\n" << e.what();
        }
    }
    // Sizes in bytes that overflow: 2^62 sectors of 4096 bytes.
    EXPECT_THROW(sim::parseSfdiskDump("sector-size: 4096\nx1 : start=0, size=4611686018427387904\n", k8M),
                 std::runtime_error);
}

sim::Topology shipped(const std::string& name) {
    const std::string path = std::string(SIM_TOPOLOGIES) + "/" + name;
    return sim::parseTopology(sim::readFile(path), path, SIM_TOPOLOGIES);
}

TEST(ShippedTopologies, DefaultCoversTheMachineTheDemoNeeds) {
    const sim::Topology t = shipped("default.topo");
    EXPECT_GT(t.devices.size(), 26U);
    EXPECT_TRUE(t.find("emcpoweraa"));
    const auto has = [&](auto pred) { return std::any_of(t.devices.begin(), t.devices.end(), pred); };
    const auto hasPath = [&](auto pred) {
        return has([&](const sim::Device& d) { return std::any_of(d.paths.begin(), d.paths.end(), pred); });
    };
    EXPECT_TRUE(has([](const sim::Device& d) { return d.kind == ArrayKind::Symmetrix; }));
    EXPECT_TRUE(has([](const sim::Device& d) { return d.kind == ArrayKind::Clariion; }));
    EXPECT_TRUE(has([](const sim::Device& d) { return !d.configured; }));
    EXPECT_TRUE(has([](const sim::Device& d) { return !d.partitions.empty(); }));
    EXPECT_TRUE(hasPath([](const sim::Path& p) { return p.state == PathState::Dead; }));
    EXPECT_TRUE(hasPath([](const sim::Path& p) { return p.mode == PathMode::Standby; }));
    EXPECT_TRUE(has([](const sim::Device& d) {
        const auto& parts = d.image.parts;
        return d.image.label == "dos" &&
               std::any_of(parts.begin(), parts.end(), [](const sim::ImagePart& p) { return p.extended; }) &&
               std::any_of(parts.begin(), parts.end(), [](const sim::ImagePart& p) { return p.number >= 5; });
    }));
    EXPECT_EQ(t.adminMajor, 7);
}

TEST(ShippedTopologies, SmallHasNoDiskImages) {
    const sim::Topology t = shipped("small.topo");
    EXPECT_FALSE(t.diskBacked());
    EXPECT_EQ(t.adminMajor, 120);
    EXPECT_GE(t.devices.size(), 2U);
}

} // namespace
