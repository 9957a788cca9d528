// SPDX-License-Identifier: Apache-2.0
// Bad input for every entry point, in rows of one shape: each pointer
// argument null in turn, negative, zero and huge counts and a garbage
// context (the argument guards); empty and very long paths, names with
// newlines, and the unsafe names of tests/support. Every row checks that
// nothing is written past a buffer (guard bytes behind each buffer, array
// and out-parameter), what is reported, and that no command line carries an
// unsafe name.
//
// The argument guards examine no device node, so their table runs
// everywhere; the rows whose calls look at device nodes need the private
// /dev and skip without it.
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#include "command_audit.h"
#include "plugin_fixtures.h"
#include "unsafe_names.h"

using namespace mpiotest;

namespace {

enum class Entry {
    Init,
    VendorName,
    GetMPIODevices,
    IsMPIODevice,
    GetUnderlyingDevices,
    RefreshMPIO,
    DeleteMPIODevice,
    IsPartitionDevice,
    GetPartitionDevices,
    FindMpDeviceName, // the lookup behind isMPIODevice and getUnderlyingDevices
};

const char* entryName(Entry e) {
    static const char* const names[] = {"init", "getVendorName", "getMPIODevices", "isMPIODevice",
                                        "getUnderlyingDevices", "refreshMPIO", "deleteMPIODevice",
                                        "isPartitionDevice", "getPartitionDevices", "FindMpDeviceName"};
    return names[static_cast<int>(e)];
}

// Arguments passed as null.
enum Null : unsigned {
    kNoNull = 0,
    kNullPath = 1u << 0,
    kNullArray = 1u << 1,
    kNullCount = 1u << 2,
    kNullErr = 1u << 3,
    kNullErrbuf = 1u << 4,
    kNullParent = 1u << 5,
};

constexpr int kUntouchedInt = 0x5eed;

// What err and errbuf show afterwards.
enum class Report {
    Nothing,     // err and errbuf untouched
    CodeOnly,    // err == code, errbuf untouched (or null)
    Text,        // err == code, errbuf holds exactly `text`
};

struct Expect {
    int result;
    Report report = Report::Nothing;
    int code = 0;
    std::string text = {};
    std::optional<int> count = {};  // count afterwards; nullopt: untouched
    std::vector<std::string> paths = {}; // path buffers written, in order
    std::size_t records = 0;             // partition records written
    bool commandsRun = false;            // whether any command may run
    std::vector<std::string> commands = {}; // when not empty: exactly these ran
    std::string parent = {};             // parent buffer text; empty: untouched
};

struct Row {
    std::string label;
    Entry entry;
    std::string path;          // path or device-name argument (unless kNullPath)
    unsigned nulls = kNoNull;
    int count = 4;             // count on entry
    std::size_t distinct = 4;  // distinct path buffers / records actually allocated
    Expect expect;
    int reserved = 0;
    void* context = nullptr;
};

// The environment every row runs in: admin major 120, the nodes below, and
// a host whose commands succeed.
//   /dev/emcpowerc  (120, 32) two paths sdb and sdc; partitions 1, 2 and 3
//   /dev/emcpowerc1 (120, 33) its first partition
//   /dev/emcpowerd1 (120, 49) a partition whose parent node is missing
//   /dev/emcpowere  (120, 64) listed under an unsafe kernel name
//   /dev/sdb        (8, 16)   a physical path
const std::string kListing =
    "120 32 emcpowerc\n120 33 emcpowerc1\n120 49 emcpowerd1\n120 64 emcpowere;reboot\n";

std::string sized(std::string head, std::size_t length) {
    head.resize(length, 'a');
    return head;
}

std::string statText(const std::string& path, int error) {
    return ("Stat " + path + " failed:" + std::to_string(error)).substr(0, MAXMPIOERRORLEN - 1);
}

// ---- The argument guards: no device node examined ------------------------------

std::vector<Row> guardRows() {
    void* const garbage = reinterpret_cast<void*>(0x1);
    const Expect nullErr{.result = -1};
    const Expect nullErrbuf{.result = -1, .report = Report::CodeOnly, .code = -1};
    // A refused call: err -1 and the entry point's words, no command.
    auto refused = [](int result, const std::string& text) {
        return Expect{.result = result, .report = Report::Text, .code = -1, .text = text};
    };
    return {
        {"NullErr", Entry::Init, "", kNullErr, 0, 0, {.result = 0}},
        {"NullErrbuf", Entry::Init, "", kNullErrbuf, 0, 0, {.result = 0, .report = Report::CodeOnly, .code = -1}},
        {"NullBoth", Entry::Init, "", kNullErr | kNullErrbuf, 0, 0, {.result = 0}},
        {"GarbageContext", Entry::Init, "", kNoNull, 0, 0, {.result = 1, .commandsRun = true}, 0, garbage},
        {"Plain", Entry::VendorName, "", kNoNull, 0, 0, {.result = 1}},

        // getMPIODevices: the output names emcpowera and emcpowerc (3 segments)
        {"NullErr", Entry::GetMPIODevices, "", kNullErr, 4, 4, nullErr},
        {"NullErrbuf", Entry::GetMPIODevices, "", kNullErrbuf, 4, 4, nullErrbuf},
        {"NullArray", Entry::GetMPIODevices, "", kNullArray, 4, 0, refused(-1, "getMPIODevices: no device array given")},
        {"NullCount", Entry::GetMPIODevices, "", kNullCount, 4, 4, refused(-1, "getMPIODevices: no device count given")},
        {"NullEverything", Entry::GetMPIODevices, "", kNullArray | kNullCount | kNullErr | kNullErrbuf, 4, 0,
         nullErr},
        {"CountMinusOne", Entry::GetMPIODevices, "", kNoNull, -1, 0, {.result = 3, .count = 0, .commandsRun = true}},
        {"CountIntMin", Entry::GetMPIODevices, "", kNoNull, INT_MIN, 0, {.result = 3, .count = 0, .commandsRun = true}},
        {"CountZero", Entry::GetMPIODevices, "", kNoNull, 0, 0, {.result = 3, .count = 0, .commandsRun = true}},
        {"CountOne", Entry::GetMPIODevices, "", kNoNull, 1, 1,
         {.result = 3, .count = 1, .paths = {"/dev/emcpowera"}, .commandsRun = true}},
        {"CountHuge", Entry::GetMPIODevices, "", kNoNull, 1 << 20, 4,
         {.result = 0, .count = 2, .paths = {"/dev/emcpowera", "/dev/emcpowerc"}, .commandsRun = true}},
        {"GarbageContext", Entry::GetMPIODevices, "", kNoNull, 4, 4,
         {.result = 0, .count = 2, .paths = {"/dev/emcpowera", "/dev/emcpowerc"}, .commandsRun = true}, 0, garbage},

        {"NullErr", Entry::IsMPIODevice, "/dev/emcpowerc", kNullErr, 0, 0, nullErr},
        {"NullErrbuf", Entry::IsMPIODevice, "/dev/emcpowerc", kNullErrbuf, 0, 0, nullErrbuf},
        {"NullPath", Entry::IsMPIODevice, "", kNullPath, 0, 0, refused(-1, "isMPIODevice: no device path given")},
        {"NullPath", Entry::FindMpDeviceName, "", kNullPath, 0, 0, {.result = 0}},

        {"NullErr", Entry::GetUnderlyingDevices, "/dev/emcpowerc", kNullErr, 4, 4, nullErr},
        {"NullErrbuf", Entry::GetUnderlyingDevices, "/dev/emcpowerc", kNullErrbuf, 4, 4, nullErrbuf},
        {"NullPath", Entry::GetUnderlyingDevices, "", kNullPath, 4, 4,
         refused(-1, "getUnderlyingDevices: no device path given")},
        {"NullArray", Entry::GetUnderlyingDevices, "/dev/emcpowerc", kNullArray, 4, 0,
         refused(-1, "getUnderlyingDevices: no path array given")},
        {"NullCount", Entry::GetUnderlyingDevices, "/dev/emcpowerc", kNullCount, 4, 4,
         refused(-1, "getUnderlyingDevices: no path count given")},

        {"NullErr", Entry::RefreshMPIO, "", kNullErr, 0, 0, nullErr},
        {"NullErrbuf", Entry::RefreshMPIO, "", kNullErrbuf, 0, 0, nullErrbuf},
        {"NullBoth", Entry::RefreshMPIO, "", kNullErr | kNullErrbuf, 0, 0, nullErr},
        {"GarbageContext", Entry::RefreshMPIO, "", kNoNull, 0, 0, {.result = 0, .commandsRun = true}, 0, garbage},

        {"NullErr", Entry::DeleteMPIODevice, "/dev/emcpowerc", kNullErr, 0, 0, nullErr},
        {"NullErrbuf", Entry::DeleteMPIODevice, "/dev/emcpowerc", kNullErrbuf, 0, 0, nullErrbuf},
        {"NullPath", Entry::DeleteMPIODevice, "", kNullPath, 0, 0, refused(-1, "deleteMPIODevice: no device name given")},
        {"GarbageContext", Entry::DeleteMPIODevice, "/dev/emcpowerc", kNoNull, 0, 0,
         {.result = 0, .commandsRun = true,
          .commands = {"powermt remove force dev=emcpowerc", "powermt release", "powermt save"}},
         0, garbage},

        // isPartitionDevice: every out-parameter is optional
        {"NullPath", Entry::IsPartitionDevice, "", kNullPath, 0, 0,
         refused(0, "isPartitionDevice: no device path given")},
        {"NullPathNullOuts", Entry::IsPartitionDevice, "", kNullPath | kNullErr | kNullErrbuf | kNullParent, 0, 0,
         {.result = 0}},

        {"NullPath", Entry::GetPartitionDevices, "", kNullPath, 4, 4,
         {.result = -1, .report = Report::Text, .code = -1, .text = "getPartitionDevices: no device path given",
          .count = 0}},
        {"NullPathNullOuts", Entry::GetPartitionDevices, "", kNullPath | kNullCount | kNullErr | kNullErrbuf, 4, 4,
         {.result = -1}},
    };
}

// ---- Rows whose calls examine device nodes ------------------------------------------

std::vector<Row> nodeRows() {
    void* const garbage = reinterpret_cast<void*>(0x1);
    return {
        {"GarbageContext", Entry::IsMPIODevice, "/dev/emcpowerc", kNoNull, 0, 0, {.result = 1, .commandsRun = true},
         0, garbage},

        // getUnderlyingDevices of /dev/emcpowerc: sdb and sdc
        {"CountMinusOne", Entry::GetUnderlyingDevices, "/dev/emcpowerc", kNoNull, -1, 0,
         {.result = 2, .count = 0, .commandsRun = true}},
        {"CountIntMin", Entry::GetUnderlyingDevices, "/dev/emcpowerc", kNoNull, INT_MIN, 0,
         {.result = 2, .count = 0, .commandsRun = true}},
        {"CountZero", Entry::GetUnderlyingDevices, "/dev/emcpowerc", kNoNull, 0, 0,
         {.result = 2, .count = 0, .commandsRun = true}},
        {"CountHuge", Entry::GetUnderlyingDevices, "/dev/emcpowerc", kNoNull, 1 << 20, 4,
         {.result = 0, .count = 2, .paths = {"/dev/sdb", "/dev/sdc"}, .commandsRun = true}},
        // The kernel's name for the node is no plain name: refused before the display runs.
        {"UnsafeKernelName", Entry::GetUnderlyingDevices, "/dev/emcpowere", kNoNull, 4, 4,
         {.result = -1, .report = Report::Text, .code = -1,
          .text = "getUnderlyingDevices: refusing device name [emcpowere;reboot]: not a plain device name",
          .commandsRun = true, .commands = {kPartitionListing}}},
        {"GarbageContext", Entry::GetUnderlyingDevices, "/dev/emcpowerc1", kNoNull, 4, 4,
         {.result = 0, .count = 2, .paths = {"/dev/sdb", "/dev/sdc"}, .commandsRun = true}, 0, garbage},

        {"MissingNullErr", Entry::IsPartitionDevice, "/dev/missing", kNullErr, 0, 0,
         {.result = 0, .report = Report::Text, .code = kUntouchedInt, .text = statText("/dev/missing", ENOENT)}},
        {"MissingNullErrbuf", Entry::IsPartitionDevice, "/dev/missing", kNullErrbuf, 0, 0,
         {.result = 0, .report = Report::CodeOnly, .code = ENOENT}},
        {"MissingNullBoth", Entry::IsPartitionDevice, "/dev/missing", kNullErr | kNullErrbuf, 0, 0,
         {.result = 0}},
        {"PartitionNullParent", Entry::IsPartitionDevice, "/dev/emcpowerc1", kNullParent, 0, 0, {.result = 1}},
        {"OrphanNullParent", Entry::IsPartitionDevice, "/dev/emcpowerd1", kNullParent, 0, 0, {.result = 1}},
        {"OrphanNullErrAndErrbuf", Entry::IsPartitionDevice, "/dev/emcpowerd1", kNullErr | kNullErrbuf, 0, 0,
         {.result = 0, .parent = "/dev/emcpowerd"}},
        {"GarbageContext", Entry::IsPartitionDevice, "/dev/emcpowerc1", kNoNull, 0, 0,
         {.result = 1, .parent = "/dev/emcpowerc"}, 0, garbage},

        // getPartitionDevices of /dev/emcpowerc: three partitions
        {"NullArray", Entry::GetPartitionDevices, "/dev/emcpowerc", kNullArray, 4, 0,
         {.result = 3, .count = 3}},
        {"NullCount", Entry::GetPartitionDevices, "/dev/emcpowerc", kNullCount, 4, 4, {.result = 3}},
        {"NullErrAndErrbuf", Entry::GetPartitionDevices, "/dev/emcpowerc", kNullErr | kNullErrbuf, 4, 4,
         {.result = 3, .count = 3, .records = 3}},
        {"RefusedNullErr", Entry::GetPartitionDevices, "/dev/sdb", kNullErr, 4, 4,
         {.result = -1, .report = Report::Text, .code = kUntouchedInt, .text = "/dev/sdb", .count = 0}},
        {"RefusedNullErrbuf", Entry::GetPartitionDevices, "/dev/sdb", kNullErrbuf, 4, 4,
         {.result = -1, .report = Report::CodeOnly, .code = -1, .count = 0}},
        {"RefusedNullCount", Entry::GetPartitionDevices, "/dev/emcpowerc1", kNullCount, 4, 4,
         {.result = -1, .report = Report::Text, .code = -1, .text = "/dev/emcpowerc1"}},
        {"CountMinusOne", Entry::GetPartitionDevices, "/dev/emcpowerc", kNoNull, -1, 0, {.result = 3, .count = 3}},
        {"CountIntMin", Entry::GetPartitionDevices, "/dev/emcpowerc", kNoNull, INT_MIN, 0, {.result = 3, .count = 3}},
        {"CountZero", Entry::GetPartitionDevices, "/dev/emcpowerc", kNoNull, 0, 0, {.result = 3, .count = 3}},
        {"CountTwo", Entry::GetPartitionDevices, "/dev/emcpowerc", kNoNull, 2, 2,
         {.result = 3, .count = 3, .records = 2}},
        {"CountHuge", Entry::GetPartitionDevices, "/dev/emcpowerc", kNoNull, 1 << 16, 1 << 16,
         {.result = 3, .count = 3, .records = 3}},
        {"ReservedIntMin", Entry::GetPartitionDevices, "/dev/emcpowerc", kNoNull, 4, 4,
         {.result = 3, .count = 3, .records = 3}, INT_MIN},
        {"GarbageContext", Entry::GetPartitionDevices, "/dev/emcpowerc", kNoNull, 4, 4,
         {.result = 3, .count = 3, .records = 3}, INT_MAX, garbage},
    };
}

// ---- Names: every entry point that takes one ------------------------------------

// A name and what the plug-in makes of it: whether the path resolves to
// /dev/emcpowerc (by its normalised form), the bare powermt name, whether
// that is a plain name (deleteMPIODevice refuses the others before any
// command) and the errno of a stat of the raw text.
struct Name {
    std::string label;
    std::string text;
    bool resolves;
    std::string bare;
    int rawErrno;
    bool plain = true;
};

// Odd names that are still plain ones: long ones, and newlines that the
// normalisation cuts off.
std::vector<Name> oddNames() {
    return {
        {"Path4096", sized("/dev/", 4096), false, sized("/dev/", 4096), ENAMETOOLONG},
        {"Path100000", sized("/dev/", 100000), false, sized("/dev/", 100000), ENAMETOOLONG},
        {"PseudoPath4096", sized("/dev/emcpower", 4096), false, sized("/dev/emcpower", 4096).substr(5),
         ENAMETOOLONG},
        {"PseudoPath100000", sized("/dev/emcpower", 100000), false,
         sized("/dev/emcpower", 100000).substr(5), ENAMETOOLONG},
        {"TrailingNewline", "/dev/emcpowerc\n", true, "emcpowerc", ENOENT},
        {"NewlineThenCommand", "emcpowerc\n; reboot", true, "emcpowerc", ENOENT},
        // Not a pseudo-device name: it keeps its directory and loses the newline.
        {"NewlineInDirectory", "/dev/emcpow\nerc", false, "/dev/emcpow", ENOENT},
    };
}

// The unsafe names of tests/support: none resolves, none is plain.
std::vector<Name> unsafe() {
    std::vector<Name> out;
    for (const UnsafeName& n : unsafeNames())
        out.push_back({n.label, n.text, false, n.bare, n.text.size() >= PATH_MAX ? ENAMETOOLONG : ENOENT, false});
    return out;
}

Expect nameExpectation(Entry entry, const Name& n) {
    switch (entry) {
    case Entry::IsMPIODevice:
        return {.result = n.resolves ? 1 : 0, .commandsRun = true};
    case Entry::GetUnderlyingDevices:
        if (n.resolves)
            return {.result = 0, .count = 2, .paths = {"/dev/sdb", "/dev/sdc"}, .commandsRun = true};
        return {.result = -6, .commandsRun = true};
    case Entry::DeleteMPIODevice:
        if (!n.plain)
            return {.result = -1, .report = Report::Text, .code = -1,
                    .text = ("deleteMPIODevice: refusing device name [" + n.bare + "]: not a plain device name")
                                .substr(0, MAXMPIOERRORLEN - 1)};
        return {.result = 0, .commandsRun = true,
                .commands = {"powermt remove force dev=" + n.bare, "powermt release", "powermt save"}};
    case Entry::IsPartitionDevice:
        return {.result = 0, .report = Report::Text, .code = n.rawErrno,
                .text = statText(n.text, n.rawErrno)};
    case Entry::GetPartitionDevices:
        return {.result = -1, .report = Report::Text, .code = -1,
                .text = n.text.substr(0, MAXMPIOERRORLEN - 1), .count = 0};
    default:
        break;
    }
    return {.result = INT_MIN};
}

// Each name given to every entry point that takes one.
std::vector<Row> nameRows(const std::vector<Name>& names) {
    std::vector<Row> rows;
    for (const Entry entry : {Entry::IsMPIODevice, Entry::GetUnderlyingDevices, Entry::DeleteMPIODevice,
                              Entry::IsPartitionDevice, Entry::GetPartitionDevices}) {
        for (const Name& n : names) rows.push_back(Row{n.label, entry, n.text, kNoNull, 4, 4, nameExpectation(entry, n)});
    }
    return rows;
}

// ---- Running a row ------------------------------------------------------------

// The host every row runs against: admin major 120 and commands that succeed.
void scriptHost() {
    tmmpio::admin_major = kAdminMajor;
    fakeHost.answer(kPartitionListing, {0, kListing, ""});
    fakeHost.answer(kPseudoListing, {0, "emcpowera\nemcpowerc\n", ""});
    fakeHost.answer(pathQuery("emcpowerc"), {0, "sdb\nsdc\n", ""});
    fakeHost.answer(kDiscovery, {0, "120\n", ""});
    fakeHost.answerOthers({0, "", ""});
    fakeHost.scriptPartitions("/dev/emcpowerc", 3, threePartitions());
}

void expectRow(const Row& row);

class ArgumentGuardTest : public FakeHostTest, public ::testing::WithParamInterface<Row> {
protected:
    void SetUp() override {
        FakeHostTest::SetUp();
        scriptHost();
    }
};

TEST_P(ArgumentGuardTest, NothingWrittenOutOfBoundsAndFailuresReported) { expectRow(GetParam()); }

class BadInputTest : public DeviceNodeTest, public ::testing::WithParamInterface<Row> {
protected:
    void plant() override {
        plantPseudoDeviceC();
        privateDev.blockNode("/dev/emcpowerd1", kAdminMajor, 49);
        privateDev.blockNode("/dev/emcpowere", kAdminMajor, 64);
        scriptHost();
    }
};

TEST_P(BadInputTest, NothingWrittenOutOfBoundsAndFailuresReported) { expectRow(GetParam()); }

void expectRow(const Row& row) {
    const Expect& x = row.expect;
    const unsigned nulls = row.nulls;
    const char* path = (nulls & kNullPath) ? nullptr : row.path.c_str();
    Int err(kUntouchedInt);
    Int count(row.count);
    Bytes errbuf(MAXMPIOERRORLEN);
    Bytes parent(MAXMPIOPATHLEN);
    const std::size_t capacity = row.count > 0 ? static_cast<std::size_t>(row.count) : 0;
    const bool wantsPaths = row.entry == Entry::GetMPIODevices || row.entry == Entry::GetUnderlyingDevices;
    const bool wantsRecords = row.entry == Entry::GetPartitionDevices;
    PathArray paths(wantsPaths ? capacity : 0, row.distinct);
    RecordArray records(wantsRecords ? (capacity < row.distinct ? capacity : row.distinct) : 0);
    ASSERT_TRUE(!wantsRecords || (nulls & kNullArray) || capacity == 0 || row.distinct >= capacity)
        << "a record array is always as large as the count says";

    int* errp = (nulls & kNullErr) ? nullptr : err.get();
    char* errbufp = (nulls & kNullErrbuf) ? nullptr : errbuf.data();
    int* countp = (nulls & kNullCount) ? nullptr : count.get();
    char** pathsp = (nulls & kNullArray) ? nullptr : paths.data();
    TmPartInfo* recordsp = (nulls & kNullArray) ? nullptr : records.data();
    char* parentp = (nulls & kNullParent) ? nullptr : parent.data();
    void* context = row.context;

    int result = INT_MIN;
    switch (row.entry) {
    case Entry::Init: {
        const char* vendor = init(context, errp, errbufp);
        result = vendor == nullptr ? 0 : (vendor == _VendorName ? 1 : -99);
        break;
    }
    case Entry::VendorName:
        result = getVendorName() == _VendorName && std::strcmp(getVendorName(), "Trelmaron: EMC PowerPath MPIO") == 0;
        break;
    case Entry::GetMPIODevices: result = getMPIODevices(context, pathsp, countp, errp, errbufp); break;
    case Entry::IsMPIODevice: result = isMPIODevice(context, path, errp, errbufp); break;
    case Entry::GetUnderlyingDevices:
        result = getUnderlyingDevices(context, path, pathsp, countp, errp, errbufp);
        break;
    case Entry::RefreshMPIO: result = refreshMPIO(context, errp, errbufp); break;
    case Entry::DeleteMPIODevice: result = deleteMPIODevice(context, path, errp, errbufp); break;
    case Entry::IsPartitionDevice: result = isPartitionDevice(context, path, parentp, errp, errbufp); break;
    case Entry::GetPartitionDevices:
        result = getPartitionDevices(context, path, recordsp, countp, row.reserved, errp, errbufp);
        break;
    case Entry::FindMpDeviceName: {
        std::string name = "kept";
        result = FindMpDeviceName(path, name);
        break;
    }
    }

    // Nothing past any buffer, array or out-parameter.
    EXPECT_TRUE(err.intact());
    EXPECT_TRUE(count.intact());
    EXPECT_TRUE(errbuf.intact());
    EXPECT_TRUE(parent.intact());
    EXPECT_TRUE(paths.intact()) << "written past the path array or into a buffer no path belongs in";
    EXPECT_TRUE(records.intact()) << "written past the record array";

    EXPECT_EQ(result, x.result);

    // What was reported.
    EXPECT_EQ(err.value(), x.report == Report::Nothing ? kUntouchedInt : x.code);
    if (x.report == Report::Nothing || x.report == Report::CodeOnly) {
        EXPECT_TRUE(errbuf.untouched()) << errbuf.text();
    } else {
        EXPECT_TRUE(errbuf.terminated());
        EXPECT_EQ(errbuf.text(), x.text);
    }

    // Count and the arrays.
    if (x.count)
        EXPECT_EQ(count.value(), *x.count);
    else
        EXPECT_EQ(count.value(), row.count) << "count must be left alone";
    EXPECT_EQ(paths.written(), x.paths);
    EXPECT_TRUE(paths.writtenFormPrefix());
    EXPECT_EQ(paths.badlyFilled(), -1) << "a written path buffer is zero-filled after its text";
    std::size_t recordsWritten = 0;
    for (std::size_t i = 0; i < records.capacity(); ++i) {
        if (records.untouched(i)) continue;
        ++recordsWritten;
        const TmPartInfo& r = records.at(i);
        ASSERT_NE(std::memchr(r.name, '\0', sizeof r.name), nullptr);
        EXPECT_EQ(r.sectorSize, 512);
        EXPECT_EQ(std::string(r.name), row.path + std::to_string(r.partNo));
    }
    EXPECT_EQ(recordsWritten, x.records);
    if (x.parent.empty()) {
        EXPECT_TRUE(parent.untouched()) << parent.text();
    } else {
        EXPECT_TRUE(parent.terminated());
        EXPECT_EQ(parent.text(), x.parent);
    }

    // Commands: none where none may run, and never an unsafe name.
    const auto commands = fakeHost.commands();
    if (!x.commandsRun) {
        EXPECT_EQ(commands, std::vector<std::string>{});
    }
    EXPECT_EQ(commandFaults(commands), std::vector<std::string>{});
    if (!x.commands.empty()) {
        EXPECT_EQ(commands, x.commands);
    }
}

// GoogleTest shows each row by its label.
void PrintTo(const Row& row, std::ostream* out) { *out << entryName(row.entry) << ' ' << row.label; }

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    return std::string(entryName(info.param.entry)) + "_" + info.param.label;
}

INSTANTIATE_TEST_SUITE_P(Table, ArgumentGuardTest, ::testing::ValuesIn(guardRows()), rowName);
INSTANTIATE_TEST_SUITE_P(Table, BadInputTest, ::testing::ValuesIn(nodeRows()), rowName);
INSTANTIATE_TEST_SUITE_P(OddNames, BadInputTest, ::testing::ValuesIn(nameRows(oddNames())), rowName);
INSTANTIATE_TEST_SUITE_P(UnsafeNames, BadInputTest, ::testing::ValuesIn(nameRows(unsafe())), rowName);

} // namespace
