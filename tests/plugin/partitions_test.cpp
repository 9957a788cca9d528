// SPDX-License-Identifier: Apache-2.0
// Partition recognition, parent naming and partition enumeration.
#include <cstring>
#include <set>

#include "partitions/partitions_internal.h"
#include "plugin_fixtures.h"

using namespace mpiotest;
using namespace tmmpio;

namespace {

// ---- Letter names -----------------------------------------------------------

TEST(LetterNames, FixedNamesAndLengthBoundaries) {
    const std::pair<long, const char*> cases[] = {
        {0, "a"},       {1, "b"},       {25, "z"},      {26, "aa"},     {27, "ab"},
        {51, "az"},     {52, "ba"},     {78, "ca"},     {675, "yz"},    {676, "za"},
        {701, "zz"},    {702, "aaa"},   {703, "aab"},   {728, "aba"},   {18277, "zzz"},
        {18278, "aaaa"}, {475253, "zzzz"}, {475254, "aaaaa"},
        {-5, "a"}, // a negative index is taken as zero
    };
    for (const auto& [index, name] : cases) EXPECT_EQ(getAAName(index), name) << index;
}

// The letter rule for indices whose running quotients are never a non-zero
// multiple of 26: the rightmost letter counts 0 to 25, every other letter its
// quotient modulo 26 less one.
std::string literalRule(long index) {
    std::string name;
    bool first = true;
    do {
        const long r = index % 26;
        name.insert(name.begin(), static_cast<char>(first ? 'a' + r : 'a' + r - 1));
        index /= 26;
        first = false;
    } while (index != 0);
    return name;
}

bool ruleDefined(long index) {
    for (long q = index / 26; q != 0; q /= 26)
        if (q % 26 == 0) return false;
    return true;
}

TEST(LetterNames, EveryIndexHasItsOwnNameInSequence) {
    constexpr long kRange = 600000;
    std::set<std::string> seen;
    std::string previous;
    long checkedAgainstRule = 0;
    for (long i = 0; i < kRange; ++i) {
        const std::string name = getAAName(i);
        ASSERT_FALSE(name.empty());
        ASSERT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos) << i;
        // Names run by length, then alphabetically, with no gap or repeat.
        if (i > 0) {
            ASSERT_TRUE(name.size() > previous.size() ||
                        (name.size() == previous.size() && name > previous))
                << i << ": " << previous << " then " << name;
        }
        ASSERT_TRUE(seen.insert(name).second) << "repeated name " << name << " at " << i;
        if (ruleDefined(i)) {
            ASSERT_EQ(name, literalRule(i)) << i;
            ++checkedAgainstRule;
        }
        previous = name;
    }
    EXPECT_GT(checkedAgainstRule, kRange / 2);
}

// ---- isPartitionDevice --------------------------------------------------------

class PartitionTest : public DeviceNodeTest {};

struct ParentCase {
    int minor;
    const char* parent;
};

TEST_F(PartitionTest, RecognisesPartitionsAndNamesTheirParents) {
    const ParentCase cases[] = {{33, "/dev/emcpowerc"},     {417, "/dev/emcpoweraa"},
                                {831, "/dev/emcpoweraz"},   {1, "/dev/emcpowera"},
                                {676 * 16 + 2, "/dev/emcpowerza"}, {702 * 16 + 3, "/dev/emcpoweraaa"},
                                {(1 << 20) - 1, "/dev/emcpowercrxp"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.minor);
        privateDev.clear();
        privateDev.blockNode("/dev/part", kAdminMajor, c.minor);
        privateDev.blockNode(c.parent, kAdminMajor, c.minor & ~0xF);
        Bytes parent;
        ErrorOut e;
        EXPECT_EQ(isPartitionDevice(nullptr, "/dev/part", parent.data(), &e.err, e.errbuf()), 1);
        EXPECT_STREQ(parent.data(), c.parent);
        EXPECT_TRUE(e.untouched());
    }
}

TEST_F(PartitionTest, WholeDevicesAndOtherMajorsAreNotPartitions) {
    privateDev.blockNode("/dev/emcpowerc", kAdminMajor, 32);
    privateDev.blockNode("/dev/sdb1", 8, 17);
    privateDev.symlink("emcpowerc", "/dev/link");
    privateDev.regularFile("/dev/file");
    privateDev.charNode("/dev/charc1", kAdminMajor, 33);
    for (const char* path : {"/dev/emcpowerc", "/dev/sdb1", "/dev/link", "/dev/file", "/dev/charc1"}) {
        Bytes parent;
        ErrorOut e;
        EXPECT_EQ(isPartitionDevice(nullptr, path, parent.data(), &e.err, e.errbuf()), 0) << path;
        EXPECT_TRUE(parent.untouched()) << path;
        EXPECT_TRUE(e.untouched()) << path;
    }
    EXPECT_TRUE(fakeHost.logEntries().empty());
}

TEST_F(PartitionTest, MissingPathReportsItsStatFailure) {
    ErrorOut e;
    EXPECT_EQ(isPartitionDevice(nullptr, "/dev/nothing%s", nullptr, &e.err, e.errbuf()), 0);
    EXPECT_EQ(e.err, 2);
    EXPECT_EQ(e.text(), "Stat /dev/nothing%s failed:2");
    EXPECT_TRUE(fakeHost.logEntries().empty());
    // The out-parameters are optional.
    EXPECT_EQ(isPartitionDevice(nullptr, "/dev/nothing", nullptr, nullptr, nullptr), 0);
}

TEST_F(PartitionTest, MissingParentIsReportedAndLogged) {
    privateDev.blockNode("/dev/emcpowerc1", kAdminMajor, 33);
    char parent[MAXMPIOPATHLEN];
    ErrorOut e;
    EXPECT_EQ(isPartitionDevice(nullptr, "/dev/emcpowerc1", parent, &e.err, e.errbuf()), 0);
    EXPECT_STREQ(parent, "/dev/emcpowerc");
    EXPECT_EQ(e.err, 2);
    const std::string text = "pdev stat failed /dev/emcpowerc1(parent:/dev/emcpowerc) :2";
    EXPECT_EQ(e.text(), text);
    const auto logs = fakeHost.logEntries();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].tag, "isPartitionDevice");
    EXPECT_TRUE(logs[0].leveled);
    EXPECT_EQ(logs[0].level, -1);
    EXPECT_EQ(logs[0].text, text);
}

TEST_F(PartitionTest, WithoutAParentBufferTheParentIsNotChecked) {
    privateDev.blockNode("/dev/emcpowerc1", kAdminMajor, 33);
    privateDev.symlink("/dev/emcpowerc1", "/dev/disk/by-id/x-part1");
    ErrorOut e;
    EXPECT_EQ(isPartitionDevice(nullptr, "/dev/emcpowerc1", nullptr, &e.err, e.errbuf()), 1);
    EXPECT_EQ(isPartitionDevice(nullptr, "/dev/disk/by-id/x-part1", nullptr, nullptr, nullptr), 1);
    EXPECT_TRUE(e.untouched());
}

TEST_F(PartitionTest, BeforeInitNoPartitionIsRecognised) {
    admin_major = 0;
    privateDev.blockNode("/dev/emcpowerc1", kAdminMajor, 33);
    privateDev.blockNode("/dev/emcpowerc", kAdminMajor, 32);
    EXPECT_EQ(isPartitionDevice(nullptr, "/dev/emcpowerc1", nullptr, nullptr, nullptr), 0);
}

// ---- getPartitionDevices -------------------------------------------------------

slice makeSlice(int64_t start, int64_t size, int32_t partNo) {
    slice s{};
    s.start = start;
    s.size = size;
    s.partNo = partNo;
    s.reserved = 0xdeadbeef;
    s.reserved2 = 77;
    return s;
}

class EnumerationTest : public DeviceNodeTest {
protected:
    void plant() override {
        plantPseudoDeviceC();
        fakeHost.scriptPartitions("/dev/emcpowerc", 3,
                                   {makeSlice(2048, 4096, 1), makeSlice(6144, 100, 2),
                                    makeSlice(8192, 1 << 30, 3)});
    }
    RecordArray records{16};
    bool untouched(std::size_t from) const { return records.untouchedFrom(from) && records.intact(); }
};

TEST_F(EnumerationTest, OneRecordPerPartitionInTheReadersOrder) {
    int count = 16;
    ErrorOut e;
    EXPECT_EQ(getPartitionDevices(nullptr, "/dev/emcpowerc", records.data(), &count, 0, &e.err, e.errbuf()), 3);
    EXPECT_EQ(count, 3);
    EXPECT_TRUE(e.untouched());
    const int64_t starts[] = {2048, 6144, 8192}, sizes[] = {4096, 100, 1 << 30};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const TmPartInfo& r = records.at(i);
        EXPECT_STREQ(r.name, ("/dev/emcpowerc" + std::to_string(i + 1)).c_str());
        EXPECT_EQ(r.partNo, i + 1);
        EXPECT_EQ(r.start, starts[i]);
        EXPECT_EQ(r.size, sizes[i]);
        EXPECT_EQ(r.sectorSize, 512);
        EXPECT_EQ(r.major, kAdminMajor);
        EXPECT_EQ(r.minor, 33 + i);
    }
    EXPECT_TRUE(untouched(3));
    ASSERT_EQ(fakeHost.partitionReads().size(), 1u);
    EXPECT_EQ(fakeHost.partitionReads()[0].device, "/dev/emcpowerc");
    EXPECT_TRUE(fakeHost.partitionReads()[0].listEmptyOnEntry);
}

TEST_F(EnumerationTest, RecordLayoutByteForByte) {
    int count = 1;
    ASSERT_EQ(getPartitionDevices(nullptr, "/dev/emcpowerc", records.data(), &count, 0, nullptr, nullptr), 3);
    unsigned char expected[1064] = {};
    std::memcpy(expected, "/dev/emcpowerc1", 15);
    const int32_t partNo = 1, major = kAdminMajor, minor = 33;
    const int64_t start = 2048, size = 4096, sector = 512;
    std::memcpy(expected + 1024, &partNo, 4);
    std::memcpy(expected + 1032, &start, 8);
    std::memcpy(expected + 1040, &size, 8);
    std::memcpy(expected + 1048, &sector, 8);
    std::memcpy(expected + 1056, &major, 4);
    std::memcpy(expected + 1060, &minor, 4);
    EXPECT_EQ(std::memcmp(records.data(), expected, sizeof expected), 0);
    EXPECT_TRUE(untouched(1));
}

TEST_F(EnumerationTest, CapacityBoundsTheRecordsButNotTheCount) {
    for (int capacity : {2, 1, 0, -3}) {
        SCOPED_TRACE(capacity);
        records.refill();
        int count = capacity;
        EXPECT_EQ(getPartitionDevices(nullptr, "/dev/emcpowerc", records.data(), &count, 0, nullptr, nullptr), 3);
        EXPECT_EQ(count, 3);
        const int written = capacity > 0 ? capacity : 0;
        for (int i = 0; i < written; ++i) EXPECT_EQ(records.at(i).partNo, i + 1);
        EXPECT_TRUE(untouched(written));
    }
}

TEST_F(EnumerationTest, NoRecordWithoutPartitionsOrWhenTheReaderFails) {
    for (const int reader : {0, -5}) {
        SCOPED_TRACE(reader);
        fakeHost.scriptPartitions("/dev/emcpowerc", reader, {});
        int count = 4;
        ErrorOut e;
        EXPECT_EQ(getPartitionDevices(nullptr, "/dev/emcpowerc", records.data(), &count, 0, &e.err, e.errbuf()),
                  reader);
        EXPECT_EQ(count, 0);
        EXPECT_TRUE(untouched(0));
        if (reader == 0) {
            EXPECT_TRUE(e.untouched());
        } else {
            EXPECT_EQ(e.err, reader);
            EXPECT_EQ(e.text(), "/dev/emcpowerc");
        }
    }
}

TEST_F(EnumerationTest, RefusedDevicesReportTheirPathAsText) {
    privateDev.charNode("/dev/charc", kAdminMajor, 32);
    privateDev.regularFile("/dev/file");
    const char* refused[] = {"/dev/emcpowerc1", "/dev/sdb", "/dev/missing", "/dev/100%s%n",
                             "/dev/charc", "/dev/file"};
    // Before init the admin major is 0, the device number of a regular file
    // and of a path that cannot be examined.
    for (const int major : {kAdminMajor, 0}) {
        admin_major = major;
        for (const char* path : refused) {
            SCOPED_TRACE(std::string(path) + " under admin major " + std::to_string(major));
            records.refill();
            int count = 16;
            ErrorOut e;
            EXPECT_EQ(getPartitionDevices(nullptr, path, records.data(), &count, 0, &e.err, e.errbuf()), -1);
            EXPECT_EQ(count, 0);
            EXPECT_EQ(e.err, -1);
            EXPECT_EQ(e.text(), path);
            EXPECT_TRUE(e.zeroFilledAfterText());
            EXPECT_TRUE(untouched(0));
            // Optional out-parameters.
            EXPECT_EQ(getPartitionDevices(nullptr, path, records.data(), nullptr, 0, nullptr, nullptr), -1);
        }
    }
    EXPECT_TRUE(fakeHost.partitionReads().empty());
}

TEST_F(EnumerationTest, ImpossibleEntriesAreLeftOutAndLogged) {
    // Minors 1 to 15 belong to the device; a partition has a positive size.
    fakeHost.scriptPartitions("/dev/emcpowerc", 7,
                               {makeSlice(2048, 0, 1), makeSlice(4096, 8, 2), makeSlice(8192, -5, 3),
                                makeSlice(1, 8, 16), makeSlice(1, 8, 128), makeSlice(1, 8, 0),
                                makeSlice(9000, 8, 15)});
    int count = 16;
    ErrorOut e;
    EXPECT_EQ(getPartitionDevices(nullptr, "/dev/emcpowerc", records.data(), &count, 0, &e.err, e.errbuf()), 2);
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(e.untouched());
    EXPECT_EQ(records.at(0).partNo, 2);
    EXPECT_EQ(records.at(1).partNo, 15);
    EXPECT_EQ(records.at(1).minor, 47);
    EXPECT_TRUE(untouched(2));
    const auto logs = fakeHost.logEntries();
    ASSERT_EQ(logs.size(), 5u);
    EXPECT_EQ(logs[0].text, "Partition 1 of /dev/emcpowerc left out: its size is not positive");
    EXPECT_EQ(logs[2].text, "Partition 16 of /dev/emcpowerc left out: no minor number of the device holds it");
    EXPECT_EQ(logs[2].level, -1);
}

TEST_F(EnumerationTest, LinkGivesDeviceNumbersOfItsTargetAndItsOwnName) {
    privateDev.symlink("../../emcpowerc", "/dev/disk/by-id/emcpower-1");
    fakeHost.scriptPartitions("/dev/disk/by-id/emcpower-1", 1, {makeSlice(1, 2, 1)});
    int count = 4;
    ASSERT_EQ(getPartitionDevices(nullptr, "/dev/disk/by-id/emcpower-1", records.data(), &count, 0, nullptr, nullptr), 1);
    EXPECT_STREQ(records.at(0).name, "/dev/disk/by-id/emcpower-1" "1");
    EXPECT_EQ(records.at(0).minor, 33);
}

TEST_F(EnumerationTest, LongPathsAreCutTo1022Characters) {
    // 1021 characters: a directory chain of links down to the node.
    std::string path = "/dev";
    while (path.size() < 1021 - 11) path += "/" + std::string(std::min<std::size_t>(200, 1021 - 11 - path.size() - 1), 'd');
    privateDev.directory(path);
    path += "/emcpowerc";
    path.resize(1021, 'c');
    privateDev.symlink("/dev/emcpowerc", path);
    ASSERT_EQ(path.size(), 1021u);
    fakeHost.scriptPartitions(path, 1, {makeSlice(1, 2, 12)});
    int count = 1;
    ASSERT_EQ(getPartitionDevices(nullptr, path.c_str(), records.data(), &count, 0, nullptr, nullptr), 1);
    EXPECT_EQ(std::string(records.at(0).name), path + "1");
    for (std::size_t i = 1022; i < 1024; ++i) EXPECT_EQ(records.at(0).name[i], '\0');
    EXPECT_EQ(records.at(0).minor, 32 + 12);
}

} // namespace
