// SPDX-License-Identifier: Apache-2.0
// The frame: command table, vendor name, init and the shared helpers. The
// argument guards of every entry point are a table of the reliability tests.
#include <climits>
#include <cstring>

#include "plugin_fixtures.h"

using namespace mpiotest;
using namespace tmmpio;

namespace {

class InitTest : public FakeHostTest {
protected:
    void SetUp() override {
        FakeHostTest::SetUp();
        admin_major = 0;
    }
};

TEST_F(InitTest, DiscoversTheAdminMajorAndLogsIt) {
    fakeHost.answer(kDiscovery, {0, "251\n", ""});
    ErrorOut e;
    const char* vendor = init(nullptr, &e.err, e.errbuf());
    EXPECT_EQ(vendor, _VendorName);
    EXPECT_STREQ(vendor, "Trelmaron: EMC PowerPath MPIO");
    EXPECT_EQ(admin_major.load(), 251);
    EXPECT_TRUE(e.untouched());
    EXPECT_EQ(fakeHost.commands(), std::vector<std::string>{kDiscovery});
    const auto run = fakeHost.runs().at(0);
    EXPECT_EQ(run.timeout, 0);
    EXPECT_FALSE(run.flag);
    EXPECT_TRUE(run.outputEmptyOnEntry && run.errorEmptyOnEntry);
    const auto logs = fakeHost.logEntries();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].tag, "init");
    EXPECT_FALSE(logs[0].leveled);
    EXPECT_FALSE(logs[0].fileInstanceGiven);
    EXPECT_EQ(logs[0].text, "Admin device major number :251 251\n.");
}

struct DiscoveryCase {
    const char* name;
    Reply reply;
    bool succeeds;
    int major;           // admin_major afterwards; it starts at 77
    const char* errText; // the error text with err -1; null: err and errbuf untouched
    const char* logged = nullptr; // the one log entry's text, where the row names it
};

void PrintTo(const DiscoveryCase& c, std::ostream* os) { *os << c.name; }

class InitDiscoveryTest : public InitTest, public ::testing::WithParamInterface<DiscoveryCase> {};

TEST_P(InitDiscoveryTest, OutcomeAndAdminMajor) {
    admin_major = 77;
    fakeHost.answer(kDiscovery, GetParam().reply);
    ErrorOut e;
    const char* vendor = init(nullptr, &e.err, e.errbuf());
    EXPECT_EQ(vendor, GetParam().succeeds ? _VendorName : nullptr);
    EXPECT_EQ(admin_major.load(), GetParam().major);
    if (GetParam().errText == nullptr) {
        EXPECT_TRUE(e.untouched()) << "init reports nothing through err and errbuf";
    } else {
        EXPECT_EQ(e.err, -1);
        EXPECT_EQ(e.text(), GetParam().errText);
    }
    const auto logs = fakeHost.logEntries();
    ASSERT_EQ(logs.size(), GetParam().succeeds ? 1u : 0u);
    if (GetParam().logged) {
        EXPECT_EQ(logs[0].text, GetParam().logged);
    }
}

// A major number must be positive: 0 or less fails init and keeps the old one.
#define NO_MAJOR "init: no positive admin major number in /proc/devices: read "
INSTANTIATE_TEST_SUITE_P(
    Discovery, InitDiscoveryTest,
    ::testing::Values(
        DiscoveryCase{"NoPower2Line", {0, "", ""}, false, 77, NO_MAJOR "[]"},
        DiscoveryCase{"RunnerFails", {1, "251\n", "cat: /proc/devices: No such file"}, false, 77, nullptr},
        DiscoveryCase{"RunnerFailsNegative", {-1, "", ""}, false, 77, nullptr},
        DiscoveryCase{"TwoLinesFirstCounts", {0, "251\n252\n", ""}, true, 251, nullptr},
        DiscoveryCase{"LeadingBlanks", {0, "  \t 120\n", ""}, true, 120, nullptr},
        DiscoveryCase{"NotANumber", {0, "power2\n", ""}, false, 77, NO_MAJOR "[power2]"},
        DiscoveryCase{"Zero", {0, "0\n", ""}, false, 77, NO_MAJOR "[0]"},
        DiscoveryCase{"Negative", {0, "-5\n7\n", ""}, false, 77, NO_MAJOR "[-5]"},
        DiscoveryCase{"FormatInData", {0, "%s%n\n", ""}, false, 77, NO_MAJOR "[%s%n]"},
        DiscoveryCase{"FormatInDataLoggedAsText", {0, "251 %s%n\n", ""}, true, 251, nullptr,
                      "Admin device major number :251 251 %s%n\n."},
        DiscoveryCase{"OverflowSaturates", {0, "99999999999999999999\n", ""}, true, INT_MAX, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });
#undef NO_MAJOR

TEST_F(InitTest, RepeatedInitRunsAgainAndTheLastValueWins) {
    fakeHost.answerInTurn(kDiscovery, {{0, "251\n", ""}, {0, "252\n", ""}});
    ErrorOut e;
    ASSERT_NE(init(nullptr, &e.err, e.errbuf()), nullptr);
    ASSERT_NE(init(nullptr, &e.err, e.errbuf()), nullptr);
    EXPECT_EQ(fakeHost.commands().size(), 2u);
    EXPECT_EQ(admin_major.load(), 252);
}

TEST(VendorName, AvailableBeforeInitAndFollowsTheExportedPointer) {
    EXPECT_STREQ(getVendorName(), "Trelmaron: EMC PowerPath MPIO");
    EXPECT_EQ(std::strlen(getVendorName()), 29u);
    char other[] = "other";
    char* saved = _VendorName;
    _VendorName = other;
    EXPECT_EQ(getVendorName(), other);
    _VendorName = saved;
    EXPECT_EQ(getVendorName(), saved);
}

TEST(CommandTable, TextsAfterLoad) {
    EXPECT_EQ(mpiocmd, "powermt");
    EXPECT_EQ(mpioremove_cmd + "emcpowera", "powermt remove force dev=emcpowera");
    EXPECT_EQ(mpiodisplay_cmd, "powermt display dev=");
    EXPECT_EQ(mpiorelease_cmd, "powermt release");
    EXPECT_EQ(mpiosave_cmd, "powermt save");
    EXPECT_EQ(mpiorefresh_cmd, "powermt config");
    EXPECT_EQ(mpio_prefix, "/dev/");
}

TEST(CallerBuffers, CopyIsBoundedAndZeroFilled) {
    for (std::size_t length : {0u, 1u, 1022u, 1023u, 1024u, 5000u}) {
        ErrorOut e;
        const std::string text(length, 'x');
        copyToCallerBuffer(e.errbuf(), text);
        EXPECT_EQ(e.text(), text.substr(0, 1023)) << length;
        EXPECT_TRUE(e.zeroFilledAfterText()) << length;
    }
}

TEST(CallerBuffers, FormattedMessageIsBoundedAndClearsEarlierText) {
    ErrorOut e;
    copyToCallerBuffer(e.errbuf(), std::string(1000, 'y'));
    formatToCallerBuffer(e.errbuf(), "Stat %s failed:%d", "/dev/x", 2);
    EXPECT_EQ(e.text(), "Stat /dev/x failed:2");
    EXPECT_TRUE(e.zeroFilledAfterText());
    formatToCallerBuffer(e.errbuf(), "%s", std::string(3000, 'z').c_str());
    EXPECT_EQ(e.text(), std::string(1023, 'z'));
    EXPECT_EQ(e.errbuf()[1023], '\0');
}

} // namespace
