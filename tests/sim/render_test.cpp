// SPDX-License-Identifier: Apache-2.0
#include "machine/render.h"

#include "temp_dir.h"
#include "text.h"

#include <gtest/gtest.h>

namespace {

const char* const kTopology = R"(
device emcpowera symmetrix id=000190300123 ldev=0123A size=8G
  path sdb qla2xxx "FA  7eA" active alive
  path sdf lpfc    "FA  8eA" active dead errors=3
  partition 1 2G
  partition 2 6G
device emcpowerab clariion id=APM00112233445 group=hostgroup1 ldev=6006016012345678 lun=7 size=1M owner=B
  path sdc qla2xxx "SP A0" active alive queued=4 hba=2
  path sdg lpfc    "SP B1" standby alive
device emcpowerc vnx id=CKM00123400567 group=g2 ldev=60060160AB123400 lun=12 size=2M unconfigured
  path sdh "QLogic Fibre Channel 2300" SP-A2 unlic dead
)";

class Render : public ::testing::Test {
protected:
    sim::Topology topo = sim::parseTopology(kTopology, "render.topo");
    sim::NameSet configured = {"emcpowera", "emcpowerab"};
};

TEST_F(Render, SymmetrixBlock) {
    EXPECT_EQ(sim::displayBlock(*topo.find("emcpowera")),
              "Pseudo name=emcpowera\n"
              "Symmetrix ID=000190300123\n"
              "Logical device ID=0123A\n"
              "state=alive; policy=SymmOpt; priority=0; queued-IOs=0\n"
              "==============================================================================\n"
              "--------------- Host ---------------   - Stor -   -- I/O Path --  -- Stats ---\n"
              "###  HW Path               I/O Paths    Interf.   Mode    State   Q-IOs Errors\n"
              "==============================================================================\n"
              "   0 qla2xxx               sdb          FA  7eA   active  alive       0      0\n"
              "   1 lpfc                  sdf          FA  8eA   active  dead        0      3\n"
              "\n");
}

TEST_F(Render, ClariionBlock) {
    EXPECT_EQ(sim::displayBlock(*topo.find("emcpowerab")),
              "Pseudo name=emcpowerab\n"
              "CLARiiON ID=APM00112233445 [hostgroup1]\n"
              "Logical device ID=6006016012345678 [LUN 7]\n"
              "state=alive; policy=CLAROpt; priority=0; queued-IOs=4\n"
              "Owner: default=SP B, current=SP A\tArray failover mode: 4\n"
              "==============================================================================\n"
              "--------------- Host ---------------   - Stor -   -- I/O Path --  -- Stats ---\n"
              "###  HW Path               I/O Paths    Interf.   Mode    State   Q-IOs Errors\n"
              "==============================================================================\n"
              "   2 qla2xxx               sdc          SP A0     active  alive       4      0\n"
              "   1 lpfc                  sdg          SP B1     standby alive       0      0\n"
              "\n");
}

TEST_F(Render, VnxBlockWithAllPathsDeadAndAnOverlongAdapter) {
    const std::string block = sim::displayBlock(*topo.find("emcpowerc"));
    EXPECT_TRUE(mpiotest::contains(block, "VNX ID=CKM00123400567 [g2]\n")) << block;
    EXPECT_TRUE(mpiotest::contains(block, "state=dead; policy=CLAROpt;")) << block;
    // The adapter's words push the columns right, one blank after them, as
    // PowerPath 4 shows them.
    EXPECT_TRUE(mpiotest::contains(block, "   0 QLogic Fibre Channel 2300 sdh          SP-A2     unlic   dead  ")) << block;
}

TEST_F(Render, DisplayAllShowsConfiguredDevicesInIndexOrder) {
    const std::string all = sim::displayAll(topo, configured);
    EXPECT_EQ(all, sim::displayBlock(*topo.find("emcpowera")) + sim::displayBlock(*topo.find("emcpowerab")));
    EXPECT_EQ(sim::displayAll(topo, {}), "");
}

TEST_F(Render, ProcPartitionsInTheKernelsFormat) {
    EXPECT_EQ(sim::procPartitions(topo, configured),
              "major minor  #blocks  name\n"
              "\n"
              "   8       16    8388608 sdb\n"
              "   8       17    2097152 sdb1\n"
              "   8       18    6291456 sdb2\n"
              "   8       32       1024 sdc\n"
              "   8       80    8388608 sdf\n"
              "   8       81    2097152 sdf1\n"
              "   8       82    6291456 sdf2\n"
              "   8       96       1024 sdg\n"
              "   8      112       2048 sdh\n"
              " 120        0    8388608 emcpowera\n"
              " 120        1    2097152 emcpowera1\n"
              " 120        2    6291456 emcpowera2\n"
              " 120      432       1024 emcpowerab\n");
}

TEST_F(Render, ProcDevicesNamesTheAdminMajor) {
    const auto devices = sim::procDevices(topo);
    EXPECT_EQ(devices.rfind("Character devices:\n", 0), 0U);
    EXPECT_TRUE(mpiotest::contains(devices, "\n\nBlock devices:\n  7 loop\n  8 sd\n")) << devices;
    EXPECT_TRUE(mpiotest::contains(devices, "\n120 power2\n")) << devices;

    topo.adminMajor = 7; // a disk-backed machine: the loop major is PowerPath's
    const auto loop = sim::procDevices(topo);
    EXPECT_TRUE(mpiotest::contains(loop, "\n  7 power2\n")) << loop;
    EXPECT_FALSE(mpiotest::contains(loop, "loop")) << loop;
}

TEST_F(Render, SavedConfigurationListsConfiguredDevices) {
    const auto saved = sim::savedConfiguration(topo, configured);
    EXPECT_TRUE(mpiotest::contains(saved, "emcpowera Symmetrix id=000190300123 ldev=0123A policy=SymmOpt paths=sdb,sdf\n"));
    EXPECT_TRUE(mpiotest::contains(saved, "emcpowerab CLARiiON"));
    EXPECT_FALSE(mpiotest::contains(saved, "emcpowerc"));
}

} // namespace
