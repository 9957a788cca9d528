// SPDX-License-Identifier: Apache-2.0
// Device identity, name normalisation, both listings and the lookup.
#include <algorithm>
#include <climits>
#include <random>

#include "inventory/device_names.h"
#include "inventory/listing.h"
#include "plugin_fixtures.h"
#include "unsafe_names.h"

using namespace mpiotest;
using namespace tmmpio;

namespace {

// ---- MpDev ----------------------------------------------------------------

struct KeyOrder {
    MpDev a, b;
    bool less; // a < b
};

TEST(MpDevOrdering, StrictWeakOrderWithEqualityAsEquivalence) {
    const KeyOrder cases[] = {
        {{8, 16}, {65, 0}, true},  {{65, 0}, {8, 16}, false}, {{8, 5}, {8, 16}, true},
        {{8, 16}, {8, 16}, false}, {{1, 5}, {2, 3}, true},    {{2, 3}, {1, 5}, false},
        {{-1, -1}, {0, 0}, true},  {{-1, 0}, {0, 0}, true},   {{0, -1}, {0, 0}, true},
        {{-2147483647 - 1, 0}, {2147483647, 0}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "(" << c.a.major << "," << c.a.minor << ") vs ("
                                          << c.b.major << "," << c.b.minor << ")");
        EXPECT_EQ(c.a < c.b, c.less);
        const bool equal = c.a.major == c.b.major && c.a.minor == c.b.minor;
        EXPECT_EQ(c.a == c.b, equal);
        EXPECT_EQ(c.a != c.b, !equal);
        // Exactly one of a < b, b < a and a == b holds.
        EXPECT_EQ(int(c.a < c.b) + int(c.b < c.a) + int(c.a == c.b), 1);
    }
}

TEST(MpDevOrdering, DefaultKeyIsMinusOneAndSortsFirst) {
    const MpDev none;
    EXPECT_EQ(none.major, -1);
    EXPECT_EQ(none.minor, -1);
    EXPECT_TRUE(none < MpDev(0, 0));
}

TEST(MpDevOrdering, MapFilledInAnyOrderFindsExactlyItsKeys) {
    std::vector<MpDev> keys;
    for (int major : {8, 65, 120, 253})
        for (int minor = 0; minor < 64; minor += 3) keys.emplace_back(major, minor);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
    MpDevMap map;
    for (const MpDev& k : keys) map[k] = std::to_string(k.major) + ":" + std::to_string(k.minor);
    EXPECT_EQ(map.size(), keys.size());
    for (const MpDev& k : keys) {
        auto it = map.find(k);
        ASSERT_NE(it, map.end());
        EXPECT_EQ(it->second, std::to_string(k.major) + ":" + std::to_string(k.minor));
    }
    EXPECT_EQ(map.find(MpDev(120, 1)), map.end()) << "same major, other minor";
    EXPECT_EQ(map.find(MpDev(9, 0)), map.end());
}

// ---- Names ----------------------------------------------------------------

struct NameCase {
    std::string input, stripped, prepared;
};

TEST(DeviceNames, StripDevAndPrepareDevName) {
    const NameCase cases[] = {
        {"/dev/emcpowera", "emcpowera", "/dev/emcpowera"},
        {"emcpowerb\n", "emcpowerb\n", "/dev/emcpowerb"},
        {"/dev/mapper/emcpowerc1", "emcpowerc1", "/dev/emcpowerc1"},
        {"hdiskpower4", "hdiskpower4", "/dev/hdiskpower4"},
        {"/dev/sdc", "/dev/sdc", "/dev/sdc"},
        {"sdc\n", "sdc\n", "sdc"},
        {"/dev/EMCPOWERA", "/dev/EMCPOWERA", "/dev/EMCPOWERA"},
        {"", "", ""},
        {"/dev/emcpowera/", "", "/dev/"},
        {"/emcpower/sdc", "sdc", "/dev/sdc"},
        {"emcpowera\n/x", "x", "/dev/x"},
        {"/tmp/emcpowerc", "emcpowerc", "/dev/emcpowerc"},
        {"/dev/disk/by-id/hdiskpower-1/emcpowerz\n\n", "emcpowerz\n\n", "/dev/emcpowerz\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(stripDev(c.input), c.stripped);
        EXPECT_EQ(prepareDevName(c.input), c.prepared);
    }
}

TEST(DeviceNames, RemoveNewLineCutsAtTheLastNewlineOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\nb", "a"}, {"\n", ""}, {"a\n\n", "a\n"}, {"abc", "abc"}, {"a\r\n", "a\r"}, {" a \n", " a "},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(removeNewLine(in), out) << in;
}

TEST(DeviceNames, BareNames) {
    EXPECT_EQ(bareDeviceName("/dev/emcpowera"), "emcpowera");
    EXPECT_EQ(bareDeviceName("emcpowera\n"), "emcpowera");
    EXPECT_EQ(bareDeviceName("/dev/sdc"), "/dev/sdc");
}

TEST(DeviceNames, PlainDeviceNames) {
    for (const char* good : {"emcpowera", "/dev/sdb", "emcpower_a.1-x", "A9"})
        EXPECT_TRUE(isPlainDeviceName(good)) << good;
    for (const UnsafeName& bad : unsafeNames()) EXPECT_FALSE(isPlainDeviceName(bad.bare)) << bad.label;
}

// ---- listMPIODevices --------------------------------------------------------

class ListingTest : public FakeHostTest {};

TEST_F(ListingTest, FillsTheMapFromTheKernelTable) {
    const struct {
        std::string output;
        MpDevMap before, after;
        std::size_t logged;
    } cases[] = {
        {"120 0 emcpowera\n120 1 emcpowera1\n120 16 emcpowerb\n", {},
         {{{120, 0}, "emcpowera"}, {{120, 1}, "emcpowera1"}, {{120, 16}, "emcpowerb"}}, 0},
        // The later line wins, and existing entries stay.
        {"120 0 emcpowera\n120 0 emcpowerq\n", {{{8, 0}, "sda"}, {{120, 0}, "old"}},
         {{{8, 0}, "sda"}, {{120, 0}, "emcpowerq"}}, 0},
        // No usable line still succeeds.
        {"a b\nlast-without-newline", {}, {}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        fakeHost.reset();
        fakeHost.answer(kPartitionListing, {0, c.output, ""});
        MpDevMap map = c.before;
        EXPECT_EQ(listMPIODevices(map), 0);
        EXPECT_EQ(map, c.after);
        ASSERT_EQ(fakeHost.runs().size(), 1u);
        const auto run = fakeHost.runs()[0];
        EXPECT_EQ(run.command, kPartitionListing);
        EXPECT_EQ(run.timeout, 0);
        EXPECT_FALSE(run.flag);
        EXPECT_EQ(fakeHost.logEntries().size(), c.logged);
    }
}

TEST_F(ListingTest, BadLinesAreLoggedAndSkipped) {
    fakeHost.answer(kPartitionListing,
                     {0, "120 16\n120 32 emcpowerc x\n120 48 emcpowerd\n\nx y emcpowere\n120 64 emcpowerf", ""});
    MpDevMap map;
    EXPECT_EQ(listMPIODevices(map), 0);
    // The non-numeric columns become 0; the last line has no newline.
    EXPECT_EQ(map, (MpDevMap{{{120, 48}, "emcpowerd"}, {{0, 0}, "emcpowere"}}));
    const auto logs = fakeHost.logEntries();
    ASSERT_EQ(logs.size(), 3u);
    for (const auto& e : logs) {
        EXPECT_EQ(e.tag, "EMCPowerPath::listMPIODvices");
        EXPECT_TRUE(e.leveled);
        EXPECT_EQ(e.level, -1);
    }
    EXPECT_EQ(logs[0].text, "Invalid token count=[2] for '120 16'");
    EXPECT_EQ(logs[1].text, "Invalid token count=[4] for '120 32 emcpowerc x'");
    EXPECT_EQ(logs[2].text, "Invalid token count=[1] for ''");
}

TEST_F(ListingTest, FailureOrEmptyOutputLeavesTheMapAndLogs) {
    const Reply replies[] = {{0, "", "nothing"}, {1, "120 0 emcpowera\n", "cat: failed %s"}, {-1, "", ""}};
    for (const Reply& r : replies) {
        fakeHost.reset();
        fakeHost.answer(kPartitionListing, r);
        MpDevMap map{{{1, 1}, "kept"}};
        EXPECT_EQ(listMPIODevices(map), -1);
        EXPECT_EQ(map, (MpDevMap{{{1, 1}, "kept"}}));
        const auto logs = fakeHost.logEntries();
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].level, 0);
        EXPECT_EQ(logs[0].tag, "EMCPowerPath::listMPIODvices");
        EXPECT_EQ(logs[0].text, "Failed to execute command=[" + kPartitionListing + "], error=[" + r.error + "]");
    }
}

// ---- findListedDevice: the lookup's walk of the same listing -------------

// What a lookup leaves behind, to compare with a map filled from the listing.
struct LookupOutcome {
    int result;
    std::string name;
    std::vector<std::string> logs; // "level tag text"
    bool operator==(const LookupOutcome&) const = default;
};

std::vector<std::string> loggedLines() {
    std::vector<std::string> out;
    for (const auto& e : fakeHost.logEntries())
        out.push_back(std::to_string(e.level) + " " + e.tag + " " + e.text);
    return out;
}

// A fresh fake host whose partition listing prints output.
void listingPrints(const std::string& output) {
    fakeHost.reset();
    fakeHost.answer(kPartitionListing, {0, output, ""});
}

LookupOutcome lookUp(const std::string& output, MpDev key) {
    listingPrints(output);
    LookupOutcome o{0, "before", {}};
    o.result = findListedDevice(key, o.name);
    o.logs = loggedLines();
    return o;
}

LookupOutcome throughTheMap(const std::string& output, MpDev key) {
    listingPrints(output);
    MpDevMap map;
    LookupOutcome o{listMPIODevices(map), "before", {}};
    if (o.result == 0) {
        const auto hit = map.find(key);
        if (hit != map.end()) {
            o.result = 1;
            o.name = hit->second;
        }
    }
    o.logs = loggedLines();
    return o;
}

// Every key the map holds and a few it does not: the lookup must answer as
// the map would and log exactly what the listing logs.
void expectLookupMatchesTheMap(const std::string& output) {
    std::vector<MpDev> keys = {MpDev(120, 0), MpDev(0, 0), MpDev(120, 7), MpDev(-1, 0), MpDev(INT_MAX, 0)};
    listingPrints(output);
    MpDevMap map;
    listMPIODevices(map);
    for (const auto& entry : map) keys.push_back(entry.first);
    for (const MpDev key : keys)
        EXPECT_EQ(lookUp(output, key), throughTheMap(output, key))
            << "key " << key.major << ":" << key.minor << " in [" << output << "]";
}

TEST_F(FakeHostTest, LookupAnswersAsTheFilledMapWould) {
    const std::string outputs[] = {
        "120 0 emcpowera\n120 1 emcpowera1\n120 16 emcpowerb\n",
        "120 0 emcpowera\n120 0 emcpowerq\n",           // the later line wins
        "120 007 emcpowerh\n0120 7 emcpoweri\n",        // leading zeros
        "120 123456789 x\n120 1234567890 y\n120 99999999999 z\n", // nine, ten, eleven digits
        "+120 0 a\n-1 0 b\n120 -0 c\n 120 0 d\n",       // signs and a leading blank
        "120  0 a\n120 0  b\n120 0 \n120 0 b \n",      // doubled, missing and trailing blanks
        "120\t0 a\n120 0 a\tb\n120 0 a\r\n",            // other white space stays in the tokens
        "x y emcpowere\n120 16\n\n120 32 emcpowerc x\n", // non-numbers and bad token counts
        "120 0 emcpowera\n120 16 emcpowerb",              // last line without a newline
        "\n\n\n",
    };
    for (const std::string& output : outputs) expectLookupMatchesTheMap(output);
}

TEST_F(FakeHostTest, LookupMatchesTheMapOnRandomListings) {
    std::mt19937 random(20261208);
    const std::string alphabet = "0120 9 x+-\t\n";
    for (int round = 0; round < 400; ++round) {
        std::string output;
        const int length = static_cast<int>(random() % 60);
        for (int i = 0; i < length; ++i) output += alphabet[random() % alphabet.size()];
        expectLookupMatchesTheMap(output);
    }
}

TEST_F(FakeHostTest, LookupOfAFailedListingAnswersMinusOneAndLogsIt) {
    fakeHost.answer(kPartitionListing, {2, "120 0 emcpowera\n", "cat: failed"});
    std::string name = "kept";
    EXPECT_EQ(findListedDevice(MpDev(120, 0), name), -1);
    EXPECT_EQ(name, "kept");
    ASSERT_EQ(fakeHost.logEntries().size(), 1u);
    EXPECT_EQ(fakeHost.logEntries()[0].level, 0);
}

// ---- getMPIODevices ---------------------------------------------------------

struct CapacityCase {
    std::string output;
    int capacity;
    int result;
    std::vector<std::string> stored;
};

void PrintTo(const CapacityCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(c.output) << " capacity " << c.capacity;
}

class GetDevicesTest : public FakeHostTest, public ::testing::WithParamInterface<CapacityCase> {};

TEST_P(GetDevicesTest, StoresWhatFitsAndCountsSegments) {
    const auto& c = GetParam();
    fakeHost.answer(kPseudoListing, {0, c.output, ""});
    PathArray paths(8);
    int count = c.capacity;
    ErrorOut e;
    EXPECT_EQ(getMPIODevices(nullptr, paths.data(), &count, &e.err, e.errbuf()), c.result);
    ASSERT_EQ(count, static_cast<int>(c.stored.size()));
    for (std::size_t i = 0; i < c.stored.size(); ++i) {
        EXPECT_EQ(paths.text(i), c.stored[i]);
        EXPECT_TRUE(paths.zeroFilledAfterText(i));
    }
    for (std::size_t i = c.stored.size(); i < 8; ++i) EXPECT_TRUE(paths.untouched(i)) << i;
    EXPECT_TRUE(e.untouched());
    EXPECT_EQ(fakeHost.commands(), std::vector<std::string>{kPseudoListing});
}

const std::vector<std::string> kAB = {"/dev/emcpowera", "/dev/emcpowerb"};

INSTANTIATE_TEST_SUITE_P(
    Negotiation, GetDevicesTest,
    ::testing::Values(CapacityCase{"emcpowera\nemcpowerb\n", 2, 3, kAB},
                      CapacityCase{"emcpowera\nemcpowerb\n", 3, 0, kAB},
                      CapacityCase{"emcpowera\nemcpowerb\n", 1, 3, {"/dev/emcpowera"}},
                      CapacityCase{"emcpowera\nemcpowerb\n", 0, 3, {}},
                      CapacityCase{"emcpowera\nemcpowerb\n", -4, 3, {}},
                      CapacityCase{"emcpowera", 1, 0, {"/dev/emcpowera"}},
                      CapacityCase{"", 1, 0, {}}, CapacityCase{"", 0, 1, {}},
                      CapacityCase{"emcpowera\n\nemcpowerb\n", 4, 0, kAB},
                      CapacityCase{"emcpowera\n\nemcpowerb\n", 3, 4, kAB},
                      CapacityCase{" emcpowerc \n", 2, 0, {"/dev/ emcpowerc "}}));

TEST_F(FakeHostTest, GetDevicesReportsAFailedCommand) {
    const std::pair<int, int> statuses[] = {{2, -2}, {-1, -1}, {-7, -7}, {255, -255}, {-2147483647 - 1, -2147483647 - 1}};
    for (const auto& [status, result] : statuses) {
        fakeHost.reset();
        fakeHost.answer(kPseudoListing, {status, "emcpowera\n", "powermt: not found"});
        PathArray paths(2);
        int count = 2;
        ErrorOut e;
        EXPECT_EQ(getMPIODevices(nullptr, paths.data(), &count, &e.err, e.errbuf()), result);
        EXPECT_EQ(e.err, status);
        EXPECT_EQ(e.text(), "powermt: not found");
        EXPECT_TRUE(e.zeroFilledAfterText());
        EXPECT_EQ(count, 2);
        EXPECT_TRUE(paths.untouched(0));
    }
}

TEST_F(FakeHostTest, GetDevicesCutsLongErrorTextsAndLongNames) {
    fakeHost.answer(kPseudoListing, {3, "", std::string(5000, 'e')});
    int count = 1;
    PathArray paths(1);
    ErrorOut e;
    EXPECT_EQ(getMPIODevices(nullptr, paths.data(), &count, &e.err, e.errbuf()), -3);
    EXPECT_EQ(e.text(), std::string(1023, 'e'));
    EXPECT_EQ(e.errbuf()[1023], '\0');

    fakeHost.answer(kPseudoListing, {0, std::string(3000, 'n') + "\n", ""});
    count = 1;
    ErrorOut ok;
    EXPECT_EQ(getMPIODevices(nullptr, paths.data(), &count, &ok.err, ok.errbuf()), 2);
    EXPECT_EQ(paths.text(0), "/dev/" + std::string(1018, 'n'));
    EXPECT_EQ(paths.at(0).data()[1023], '\0');
}

TEST_F(FakeHostTest, GetDevicesRepeatedWithTheAskedCapacityStoresEverything) {
    std::string output;
    for (int i = 0; i < 40; ++i) output += "emcpower" + std::to_string(i) + "\n";
    fakeHost.answer(kPseudoListing, {0, output, ""});
    PathArray small(4);
    int count = 4;
    ErrorOut e;
    const int asked = getMPIODevices(nullptr, small.data(), &count, &e.err, e.errbuf());
    ASSERT_EQ(asked, 41);
    PathArray big(asked);
    count = asked;
    EXPECT_EQ(getMPIODevices(nullptr, big.data(), &count, &e.err, e.errbuf()), 0);
    EXPECT_EQ(count, 40);
    EXPECT_EQ(big.text(39), "/dev/emcpower39");
}

// ---- Lookup -----------------------------------------------------------------

class LookupTest : public DeviceNodeTest {
protected:
    void plant() override {
        fakeHost.answer(kPartitionListing,
                         {0, "120 32 emcpowerc\n120 33 emcpowerc1\n120 416 emcpoweraa\n", ""});
        plantPseudoDeviceC();
        privateDev.blockNode("/dev/renamed", kAdminMajor, 416);
        privateDev.symlink("../../emcpowerc", "/dev/disk/by-id/scsi-360000970000192601234");
        privateDev.regularFile("/dev/plainfile");
        privateDev.directory("/dev/somedir");
        privateDev.charNode("/dev/charc", kAdminMajor, 32);
        privateDev.charNode("/dev/charc1", kAdminMajor, 33);
    }
};

struct LookupCase {
    std::string path;
    int result;
    std::string name; // the name out-parameter afterwards
};

TEST_F(LookupTest, ResolvesByDeviceNumber) {
    const LookupCase cases[] = {
        {"/dev/emcpowerc", 1, "emcpowerc"},
        {"/dev/emcpowerc1", 1, "emcpowerc1"},
        {"/dev/disk/by-id/scsi-360000970000192601234", 1, "emcpowerc"},
        // A link whose name holds "emcpower" is examined under /dev/ by its last part.
        {"/dev/disk/by-id/emcpower-60000970", 0, "/dev/disk/by-id/emcpower-60000970"},
        {"emcpowerc", 1, "emcpowerc"},
        {"/tmp/emcpowerc", 1, "emcpowerc"},
        {"/dev/emcpowerc\n", 1, "emcpowerc"},
        {"/dev/renamed", 1, "emcpoweraa"},
        {"/dev/sdb", 0, "/dev/sdb"},
        {"/dev/plainfile", 0, "/dev/plainfile"},
        {"/dev/somedir", 0, "/dev/somedir"},
        // Only block devices are pseudo devices, whatever numbers a node carries.
        {"/dev/charc", 0, "/dev/charc"},
        {"/dev/charc1", 0, "/dev/charc1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string name = "previous";
        EXPECT_EQ(FindMpDeviceName(c.path.c_str(), name), c.result);
        EXPECT_EQ(name, c.name);
        ErrorOut e;
        EXPECT_EQ(isMPIODevice(nullptr, c.path.c_str(), &e.err, e.errbuf()), c.result);
        EXPECT_TRUE(e.untouched());
    }
    // Only the failed stat of /dev/emcpower-60000970 (twice) is logged.
    const auto logs = fakeHost.logEntries();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0].text, "Stat on /dev/emcpower-60000970 failed 2 No such file or directory.");
}

TEST_F(LookupTest, MissingNodeIsLoggedAndRunsNoCommand) {
    std::string name;
    EXPECT_EQ(FindMpDeviceName("/dev/emcpowerz\n", name), 0);
    EXPECT_EQ(name, "/dev/emcpowerz\n") << "the input path, not normalised";
    EXPECT_TRUE(fakeHost.commands().empty());
    const auto logs = fakeHost.logEntries();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].tag, "FindMpDeviceName");
    EXPECT_EQ(logs[0].text, "Stat on /dev/emcpowerz failed 2 No such file or directory.");
}

TEST_F(LookupTest, AnswersNoWithoutPseudoDevicesOrWhenTheListingFails) {
    for (const Reply& r : {Reply{0, "", ""}, Reply{1, "", "cat: error"}}) {
        fakeHost.reset();
        fakeHost.answer(kPartitionListing, r);
        ErrorOut e;
        EXPECT_EQ(isMPIODevice(nullptr, "/dev/emcpowerc", &e.err, e.errbuf()), 0);
        EXPECT_TRUE(e.untouched());
    }
}

} // namespace
