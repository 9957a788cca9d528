// Regression tests for faults that fuzzing and the race tests found.
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

} // namespace
