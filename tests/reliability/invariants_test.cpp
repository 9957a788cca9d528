// SPDX-License-Identifier: Apache-2.0
// The command-line audit that the other tests and the fuzz targets rely on
// flags what it must: a check that cannot fail would prove nothing.
#include "command_audit.h"
#include "plugin_fixtures.h"
#include "unsafe_names.h"

using namespace mpiotest;

namespace {

TEST(ReliabilityInvariants, CommandAuditFlagsUnsafeAndUnknownCommands) {
    EXPECT_TRUE(commandFaults({kPartitionListing, kPseudoListing, pathQuery("emcpowerc"),
                               "powermt remove force dev=/dev/sdb", "powermt release", "powermt save",
                               "powermt config", kDiscovery})
                    .empty());
    std::vector<std::string> bad = {"rm -rf /", pathQuery("emcpowerc") + "; id"};
    for (const UnsafeName& n : unsafeNames())
        if (!n.bare.empty()) // nothing after dev= is harmless on a command line
            bad.insert(bad.end(), {pathQuery(n.bare), "powermt remove force dev=" + n.bare});
    EXPECT_EQ(commandFaults(bad).size(), bad.size());
}

TEST(ReliabilityInvariants, GuardsNoticeAWriteOneBytePastTheEnd) {
    Bytes bytes(MAXMPIOPATHLEN);
    EXPECT_TRUE(bytes.intact() && bytes.untouched());
    bytes.data()[MAXMPIOPATHLEN] = '\0';
    EXPECT_FALSE(bytes.intact());

    PathArray slots(2);
    EXPECT_TRUE(slots.intact());
    slots.data()[2][0] = 'x'; // the first element behind the array
    EXPECT_FALSE(slots.intact());

    RecordArray records(1);
    EXPECT_TRUE(records.intact());
    records.data()[1].partNo = 1;
    EXPECT_FALSE(records.intact());

    Int count(3);
    EXPECT_TRUE(count.intact());
    count.get()[1] = 0;
    EXPECT_FALSE(count.intact());
}

// A broken guard that no assertion looked at still fails the program.
TEST(ReliabilityInvariantsDeathTest, AnUnseenWritePastTheEndAborts) {
    EXPECT_DEATH({ ErrorOut e; e.errbuf()[MAXMPIOERRORLEN] = 'x'; }, "past the end of a caller's buffer");
    EXPECT_DEATH({ RecordArray r(2); r.data()[2].partNo = 1; }, "past the end of a caller's record array");
}

} // namespace
