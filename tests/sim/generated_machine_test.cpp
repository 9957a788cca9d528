// SPDX-License-Identifier: Apache-2.0
// A generated machine of 10,000 pseudo devices over 40,000 paths, as a host
// sees it through the plug-in (mpioctl): every device listed, and the paths
// of the last one with the sd driver's names and device numbers.
#include "machine/checked_files.h"
#include "machine/topology.h"
#include "sandbox/topology_generator.h"

#include "gtest_layer.h"
#include "processes.h"
#include "temp_dir.h"
#include "text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace {

namespace process = mpio::process;

TEST(GeneratedMachine, TenThousandDevicesOverFortyThousandPaths) {
    mpiotest::TempDir dir;
    const std::string topology = dir / "big.topo";
    const std::string text = sim::generateTopology(sim::parseMachineDescription(
        "devices=10000,paths=4,partitions=1,arrays=symmetrix:2+clariion:1+vnx:1,standby=0.1,seed=7"));
    sim::writeNewFile(topology, text);
    // The plug-in gives the active paths; this seed makes two of the last
    // device's four standby.
    std::vector<std::string> active;
    const sim::Topology parsed = sim::parseTopology(text, topology);
    for (const sim::Path& p : parsed.devices.back().paths)
        if (p.mode == sim::PathMode::Active) active.push_back("/dev/" + p.sd);
    ASSERT_EQ(active.size(), 2U);
    REQUIRE_SANDBOX(MPIO_SANDBOX, topology);

    // The disks 255, 256, 4095 and 4096 are where the numbering changes
    // major or moves into the high minor bits; 39,996 to 39,999 are the
    // last device's paths. Expected: the sd driver's numbering, major
    // {8, 65..71, 128..135}[(k & 0xf0) >> 4], minor ((k & 0xf) << 4) | (k & 0xfff00).
    struct Disk {
        const char* name;
        int major, minor;
    };
    const Disk disks[] = {{"sdiv", 135, 240},      {"sdiw", 8, 256},        {"sdfan", 135, 4080},
                          {"sdfao", 8, 4096},      {"sdbgdi", 67, 40128},   {"sdbgdj", 67, 40144},
                          {"sdbgdk", 67, 40160},   {"sdbgdl", 67, 40176}};
    std::string stats;
    for (const Disk& d : disks) stats += std::string(" /dev/") + d.name;
    const process::ProgramRun run = mpiotest::shell(
        std::string(MPIO_SANDBOX) + " --topology " + topology + " -- sh -c '" + MPIOCTL + " devices | wc -l; " + MPIOCTL +
        " devices | tail -n 1; " + MPIOCTL + " paths /dev/emcpowerntp; stat -c \"%n %t %T\"" + stats + "'");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const auto lines = mpiotest::lines(run.out);
    ASSERT_EQ(lines.size(), 2U + active.size() + std::size(disks)) << run.out;
    EXPECT_EQ(lines[0], "10000");
    EXPECT_EQ(lines[1], "/dev/emcpowerntp"); // index 9,999
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.begin() + 4), active);
    for (std::size_t i = 0; i < std::size(disks); ++i) {
        char want[64];
        std::snprintf(want, sizeof want, "/dev/%s %x %x", disks[i].name, disks[i].major, disks[i].minor);
        EXPECT_EQ(lines[4 + i], want);
    }
}

} // namespace
