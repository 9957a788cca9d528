// SPDX-License-Identifier: Apache-2.0
// Underlying paths, rescan and removal.
#include <cstring>

#include "plugin_fixtures.h"

using namespace mpiotest;
using namespace tmmpio;

namespace {

class UnderlyingTest : public DeviceNodeTest {
protected:
    void plant() override {
        fakeHost.answer(kPartitionListing,
                         {0, "120 32 emcpowerc\n120 33 emcpowerc1\n120 48 emcpowerd\n120 49 emcpowerd1\n", ""});
        plantPseudoDeviceC();
        privateDev.blockNode("/dev/emcpowerd1", kAdminMajor, 49); // parent node missing
        privateDev.symlink("../../emcpowerc", "/dev/disk/by-id/wwn-0x6006016");
        privateDev.charNode("/dev/charc", kAdminMajor, 32);
        fakeHost.answer(pathQuery("emcpowerc"), {0, "sdb\nsdc\n", ""});
    }

    struct Outcome {
        int result;
        int count;
        std::vector<std::string> paths;
    };
    Outcome call(const char* device, int capacity, ErrorOut& e, std::size_t buffers = 4) {
        PathArray array(buffers);
        int count = capacity;
        const int result = getUnderlyingDevices(nullptr, device, array.data(), &count, &e.err, e.errbuf());
        Outcome o{result, count, {}};
        for (std::size_t i = 0; i < buffers && !array.untouched(i); ++i) {
            EXPECT_TRUE(array.zeroFilledAfterText(i));
            o.paths.push_back(array.text(i));
        }
        return o;
    }
};

TEST_F(UnderlyingTest, ListsThePathsOfTheDeviceItResolvesTo) {
    fakeHost.answer(pathQuery("emcpowerc1"), {0, "sdb\n", ""});
    const std::vector<std::string> both = {"/dev/sdb", "/dev/sdc"};
    struct Case {
        const char* device;
        int adminMajor, capacity, result, count;
        std::vector<std::string> paths;
        std::string query; // the last command; empty: not checked
    } cases[] = {
        // Capacity negotiation.
        {"/dev/emcpowerc", kAdminMajor, 4, 0, 2, both, pathQuery("emcpowerc")},
        {"/dev/emcpowerc", kAdminMajor, 2, 0, 2, both, pathQuery("emcpowerc")},
        {"/dev/emcpowerc", kAdminMajor, 1, 2, 1, {"/dev/sdb"}, pathQuery("emcpowerc")},
        {"/dev/emcpowerc", kAdminMajor, 0, 2, 0, {}, pathQuery("emcpowerc")},
        {"/dev/emcpowerc", kAdminMajor, -5, 2, 0, {}, pathQuery("emcpowerc")},
        // A link is asked about by its kernel name.
        {"/dev/disk/by-id/wwn-0x6006016", kAdminMajor, 4, 0, 2, both, pathQuery("emcpowerc")},
        // Before init a partition is asked about by its own name.
        {"/dev/emcpowerc1", 0, 4, 0, 1, {"/dev/sdb"}, pathQuery("emcpowerc1")},
        // Not pseudo devices.
        {"/dev/sdb", kAdminMajor, 4, -6, 4, {}, ""},
        {"/dev/missing", kAdminMajor, 4, -6, 4, {}, ""},
        {"/dev/emcpowerq", kAdminMajor, 4, -6, 4, {}, ""},
        {"/dev/charc", kAdminMajor, 4, -6, 4, {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.device) + " capacity " + std::to_string(c.capacity) + " admin major " +
                     std::to_string(c.adminMajor));
        admin_major = c.adminMajor;
        ErrorOut e;
        const Outcome o = call(c.device, c.capacity, e);
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(o.count, c.count);
        EXPECT_EQ(o.paths, c.paths);
        EXPECT_TRUE(e.untouched());
        if (!c.query.empty()) {
            EXPECT_EQ(fakeHost.commands().back(), c.query);
        }
    }
}

TEST_F(UnderlyingTest, PartitionIsReplacedByItsParent) {
    ErrorOut e;
    const Outcome o = call("/dev/emcpowerc1", 4, e);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.paths, (std::vector<std::string>{"/dev/sdb", "/dev/sdc"}));
    EXPECT_TRUE(e.untouched());
    EXPECT_EQ(fakeHost.commands(), (std::vector<std::string>{kPartitionListing, pathQuery("emcpowerc")}));
    const auto logs = fakeHost.logEntries();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].tag, "EMCPowerPath::getUnderlyingDevices");
    EXPECT_EQ(logs[0].level, 0);
    EXPECT_TRUE(logs[0].leveled);
    EXPECT_EQ(logs[0].text, "Device=[emcpowerc1] is a partition device, parent=[/dev/emcpowerc]");
}

TEST_F(UnderlyingTest, PartitionWithoutParentNodeKeepsItsOwnNameAndError) {
    fakeHost.answer(pathQuery("emcpowerd1"), {0, "sdd\n", ""});
    ErrorOut e;
    const Outcome o = call("/dev/emcpowerd1", 4, e);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.paths, std::vector<std::string>{"/dev/sdd"});
    EXPECT_EQ(e.err, 2);
    EXPECT_EQ(e.text(), "pdev stat failed /dev/emcpowerd1(parent:/dev/emcpowerd) :2");
    EXPECT_EQ(fakeHost.commands().back(), pathQuery("emcpowerd1"));
    for (const auto& entry : fakeHost.logEntries())
        EXPECT_NE(entry.tag, "EMCPowerPath::getUnderlyingDevices");
}

TEST_F(UnderlyingTest, OutputShapesAndFailedPipelines) {
    struct Case {
        Reply reply;
        int result, count;
        std::vector<std::string> paths;
    } cases[] = {
        {{0, "", ""}, 0, 0, {}},
        {{0, "\n\n", ""}, 0, 0, {}},
        {{0, "\nsdb\n\n\nsdc", ""}, 0, 2, {"/dev/sdb", "/dev/sdc"}},
        {{0, "sdb\nsdb\nsda\n", ""}, 0, 3, {"/dev/sdb", "/dev/sdb", "/dev/sda"}},
        {{0, "a\nb\nc\nd\ne\n", ""}, 5, 4, {"/dev/a", "/dev/b", "/dev/c", "/dev/d"}},
        {{0, std::string(2000, 'x') + "\n", ""}, 0, 1, {"/dev/" + std::string(1018, 'x')}},
        // A failed pipeline stores nothing and hands on its status and text.
        {{2, "sdb\n", ""}, -2, 4, {}},
        {{-3, "sdb\n", "x"}, -3, 4, {}},
        {{1, "sdb\n", "Bad dev value"}, -1, 4, {}},
        {{6, "sdb\n", ""}, -6, 4, {}},
        {{4, "sdb\n", std::string(3000, 'e')}, -4, 4, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.reply.status) + " " + c.reply.output.substr(0, 20));
        fakeHost.answer(pathQuery("emcpowerc"), c.reply);
        ErrorOut e;
        const Outcome o = call("/dev/emcpowerc", 4, e);
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(o.count, c.count);
        EXPECT_EQ(o.paths, c.paths);
        if (c.reply.status != 0) {
            EXPECT_EQ(e.err, c.reply.status);
            EXPECT_EQ(e.text(), c.reply.error.substr(0, 1023));
            EXPECT_TRUE(e.zeroFilledAfterText());
        }
    }
}

TEST_F(UnderlyingTest, SuccessKeepsAnEarlierError) {
    ErrorOut e;
    e.err = 7;
    std::strcpy(e.errbuf(), "before");
    EXPECT_EQ(call("/dev/emcpowerc", 4, e).result, 0);
    EXPECT_EQ(e.err, 7);
    EXPECT_EQ(e.text(), "before");
}

// ---- refreshMPIO and deleteMPIODevice -------------------------------------------

const std::string kRemove = "powermt remove force dev=";
const std::string kRelease = "powermt release";
const std::string kSave = "powermt save";
const std::string kConfig = "powermt config";

class AdministrationTest : public FakeHostTest {};

TEST_F(AdministrationTest, RefreshRunsConfig) {
    fakeHost.answer(kConfig, {0, "", ""});
    ErrorOut e;
    e.err = 7;
    EXPECT_EQ(refreshMPIO(nullptr, &e.err, e.errbuf()), 0);
    EXPECT_EQ(e.err, 7);
    EXPECT_EQ(fakeHost.commands(), std::vector<std::string>{kConfig});
    const auto run = fakeHost.runs()[0];
    EXPECT_TRUE(run.outputEmptyOnEntry && run.errorEmptyOnEntry);

    for (int status : {3, -1}) {
        fakeHost.answer(kConfig, {status, "", "config failed"});
        ErrorOut failed;
        EXPECT_EQ(refreshMPIO(nullptr, &failed.err, failed.errbuf()), status);
        EXPECT_EQ(failed.err, status);
        EXPECT_EQ(failed.text(), "config failed");
        EXPECT_TRUE(failed.zeroFilledAfterText());
    }
}

TEST_F(AdministrationTest, DeleteRunsRemoveReleaseSaveWithTheBareName) {
    const std::pair<const char*, const char*> names[] = {
        {"/dev/emcpowerc", "emcpowerc"}, {"emcpowerc\n", "emcpowerc"}, {"/dev/sdb", "/dev/sdb"},
        {"/dev/mapper/emcpowerc\n", "emcpowerc"}};
    for (const auto& [name, bare] : names) {
        fakeHost.reset();
        fakeHost.answerOthers({0, "", ""});
        ErrorOut e;
        EXPECT_EQ(deleteMPIODevice(nullptr, name, &e.err, e.errbuf()), 0) << name;
        EXPECT_EQ(fakeHost.commands(), (std::vector<std::string>{kRemove + bare, kRelease, kSave}));
        EXPECT_TRUE(e.untouched());
    }
}

TEST_F(AdministrationTest, DeleteKeepsTheLastFailure) {
    struct Case {
        const char* what;
        Reply remove, release, save;
        int result, err;
        std::string text;
    } cases[] = {
        {"remove fails", {1, "", "no such device"}, {0, "", ""}, {0, "", ""}, 0, 1, "no such device"},
        {"release fails", {0, "", ""}, {4, "", "busy"}, {0, "", ""}, 0, 4, "busy"},
        {"save fails", {0, "", ""}, {0, "", ""}, {2, "", "read-only"}, 2, 2, "read-only"},
        {"remove and release fail", {1, "", std::string(900, 'L')}, {5, "", "short"}, {0, "", ""}, 0, 5, "short"},
        {"all fail", {1, "", "a"}, {5, "", "b"}, {-1, "", "c"}, -1, -1, "c"},
        {"failure without text", {3, "", ""}, {0, "", ""}, {0, "", ""}, 0, 3, ""},
        {"long text", {0, "", ""}, {0, "", ""}, {9, "", std::string(2000, 'x')}, 9, 9, std::string(1023, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fakeHost.reset();
        fakeHost.answer(kRemove + "emcpowerc", c.remove);
        fakeHost.answer(kRelease, c.release);
        fakeHost.answer(kSave, c.save);
        ErrorOut e;
        EXPECT_EQ(deleteMPIODevice(nullptr, "/dev/emcpowerc", &e.err, e.errbuf()), c.result);
        EXPECT_EQ(e.err, c.err);
        EXPECT_EQ(e.text(), c.text);
        EXPECT_TRUE(e.zeroFilledAfterText());
        EXPECT_EQ(fakeHost.commands().size(), 3u);
    }
}

} // namespace
