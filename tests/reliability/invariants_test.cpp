// The command-line audit that the other tests and the fuzz targets rely on
// flags what it must: a check that cannot fail would prove nothing.
#include "invariants.h"
#include "plugin_test_util.h"

namespace {

TEST(ReliabilityInvariants, CommandAuditFlagsUnsafeAndUnknownCommands) {
    using reliability::commandFaults;
    EXPECT_TRUE(commandFaults({kPartitionListing, kPseudoListing, pathQuery("emcpowerc"),
                               "powermt remove force dev=/dev/sdb", "powermt release", "powermt save",
                               "powermt config", reliability::kDiscovery})
                    .empty());
    const std::vector<std::string> bad = {pathQuery("emcpowerc;reboot"), pathQuery("-x"),
                                          "powermt remove force dev=a b", "powermt remove force dev=$(id)",
                                          "rm -rf /", pathQuery("emcpowerc") + "; id"};
    EXPECT_EQ(commandFaults(bad).size(), bad.size());
}

TEST(ReliabilityInvariants, GuardsNoticeAWriteOneBytePastTheEnd) {
    reliability::GuardedBytes bytes(MAXMPIOPATHLEN);
    EXPECT_TRUE(bytes.guardIntact() && bytes.untouched());
    bytes.data()[MAXMPIOPATHLEN] = '\0';
    EXPECT_FALSE(bytes.guardIntact());

    reliability::PathSlots slots(2);
    EXPECT_TRUE(slots.intact());
    slots.data()[2][0] = 'x'; // the first element behind the array
    EXPECT_FALSE(slots.intact());

    reliability::RecordSlots records(1);
    EXPECT_TRUE(records.guardIntact());
    records.data()[1].partNo = 1;
    EXPECT_FALSE(records.guardIntact());
}

} // namespace
