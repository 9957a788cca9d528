// SPDX-License-Identifier: Apache-2.0
// The built plug-in on the simulated PowerPath machine: this program runs
// inside mpio-sandbox, loads the library with dlopen as a host does (the host
// stand-in linked in provides its services) and calls every entry point over
// real shells, the powermt simulator, device nodes and disk images. Expected
// answers come from the topology file the sandbox was made from and from the
// sandbox itself (stat, /proc, sfdisk).
//
// Usage: e2e_plugin_tests [GoogleTest options] TOPOLOGY
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "e2e_support.h"
#include "temp_dir.h"
#include "tmhost/TmHost.h"

namespace e2e {
namespace {

constexpr const char* kVendor = "Trelmaron: EMC PowerPath MPIO";

std::string partitionNode(const DeviceFacts& d, int p) { return d.node() + std::to_string(p); }
std::string partitionLink(const DeviceFacts& d, int p) { return d.byId() + "-part" + std::to_string(p); }

// getMPIODevices with a fresh array of the given capacity, which must show no fault.
Listing checkedListing(int capacity) {
    const Listing l = listDevices(capacity);
    EXPECT_EQ(l.fault, "");
    return l;
}

// getUnderlyingDevices with `capacity` path buffers (and count) on entry: it
// must return `result`, store exactly `expected` and leave err and errbuf
// untouched. The count it leaves is returned.
int expectPaths(const std::string& path, int capacity, int result, const std::vector<std::string>& expected) {
    const Listing l = underlyingDevices(path, capacity);
    EXPECT_EQ(l.result, result);
    EXPECT_EQ(l.paths, expected);
    EXPECT_EQ(l.fault, "");
    return l.count;
}

// isMPIODevice must answer `result` and leave err and errbuf untouched.
void expectIsMPIO(const std::string& path, int result) {
    ErrorOut out;
    EXPECT_EQ(api().isMPIODevice(nullptr, path.c_str(), &out.err, out.errbuf()), result);
    EXPECT_TRUE(out.untouched());
}

// Every name a configured device answers to, with the device it is.
struct Named {
    std::string path;
    const DeviceFacts* device;
    bool partition = false;
};
std::vector<Named> namesOfConfiguredDevices(bool withPartitions) {
    std::vector<Named> names;
    for (const DeviceFacts* d : topology().configured()) {
        names.push_back({d->node(), d});
        names.push_back({d->byId(), d});
        if (!withPartitions) continue;
        for (int p : d->partitions) {
            names.push_back({partitionNode(*d, p), d, true});
            names.push_back({partitionLink(*d, p), d, true});
        }
    }
    return names;
}

TEST(Frame, InitTakesTheAdminMajorFromProcDevices) {
    const int major = adminMajorFromProcDevices();
    ASSERT_GT(major, 0) << "the sandbox's /proc/devices has no power2 line";

    const TempDir dir;
    const std::string logName = dir / "init.log";
    std::string why;
    ASSERT_TRUE(tmhost::configureLog(tmhost::LogSink::File, 0, logName, &why)) << why;
    ErrorOut out;
    const char* vendor = api().init(nullptr, &out.err, out.errbuf());
    tmhost::configureLog(tmhost::LogSink::Off, 0);
    const std::string log = readFile(logName);

    ASSERT_NE(vendor, nullptr);
    EXPECT_EQ(vendor, *api().vendorName);
    EXPECT_STREQ(vendor, kVendor);
    EXPECT_EQ(api().getVendorName(), vendor);
    EXPECT_TRUE(out.untouched());
    // The number and the captured output as they came, newline included
    // (escaped, so that the entry stays one line).
    const std::string m = std::to_string(major);
    EXPECT_NE(log.find("[init] 0: Admin device major number :" + m + " " + m + "\\n.\n"), std::string::npos)
        << log;
    // The number it took is what the partition entry points now go by.
    const DeviceFacts& d = *topology().configured().front();
    if (!d.partitions.empty()) {
        EXPECT_EQ(api().isPartitionDevice(nullptr, partitionNode(d, d.partitions[0]).c_str(), nullptr,
                                          nullptr, nullptr),
                  1);
    }
}

TEST(Inventory, ListingNegotiatesCapacity) {
    const std::vector<std::string> all = nodesOf(topology().configured());
    const int n = static_cast<int>(all.size());
    // Every name is followed by a newline, so the output has n + 1 segments:
    // only an array larger than n is enough, and a result of n + 1 asks for one.
    for (const int capacity : {0, 1, n - 1, n, n + 1, 4 * n}) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        const Listing l = checkedListing(capacity);
        const int stored = std::min(capacity, n);
        EXPECT_EQ(l.result, capacity > n ? 0 : n + 1);
        EXPECT_EQ(l.count, stored);
        EXPECT_EQ(l.paths, std::vector<std::string>(all.begin(), all.begin() + stored));
    }
}

TEST(Inventory, LookupGoesByDeviceNumber) {
    struct Row {
        std::string path;
        int expected;
    };
    std::vector<Row> rows;
    for (const Named& n : namesOfConfiguredDevices(true)) rows.push_back({n.path, 1});
    const DeviceFacts& first = *topology().configured().front();
    rows.push_back({first.name, 1});                   // a bare name is looked up under /dev/
    rows.push_back({"/somewhere/" + first.name, 1});   // so is any path that names one
    for (const DeviceFacts& d : topology().devices) {
        for (const PathFacts& p : d.paths) {
            rows.push_back({"/dev/" + p.sd, 0});
            for (int part : d.partitions) rows.push_back({"/dev/" + p.sd + std::to_string(part), 0});
        }
        if (!d.configured) {
            rows.push_back({d.node(), 0});
            rows.push_back({d.byId(), 0});
        }
    }
    rows.push_back({"/dev/null", 0});
    rows.push_back({"/dev/disk/by-id", 0});
    rows.push_back({"/dev/emcpowerzz", 0}); // no such node
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        expectIsMPIO(r.path, r.expected);
    }
}

// The active paths behind every name of a device; a name of no configured
// pseudo device (device nullptr) has none and leaves the count as it was.
TEST(Paths, ActivePathsBehindEveryNameOfADevice) {
    ASSERT_TRUE(initialised());
    std::vector<Named> names = namesOfConfiguredDevices(true);
    names.push_back({topology().configured().front()->name, topology().configured().front()});
    names.push_back({"/dev/emcpowerzz", nullptr});
    names.push_back({"/dev/null", nullptr});
    for (const DeviceFacts& d : topology().devices) {
        names.push_back({"/dev/" + d.paths.front().sd, nullptr});
        if (!d.configured) names.push_back({d.node(), nullptr});
    }
    for (const Named& n : names) {
        SCOPED_TRACE(n.path);
        if (n.device) {
            const std::vector<std::string> expected = n.device->activePaths();
            EXPECT_EQ(expectPaths(n.path, 8, 0, expected), static_cast<int>(expected.size()));
        } else {
            EXPECT_EQ(expectPaths(n.path, 4, -6, {}), 4);
        }
    }
}

TEST(Paths, ArrayTooSmallAsksForMore) {
    const auto configured = topology().configured();
    const auto many = std::find_if(configured.begin(), configured.end(),
                                   [](const DeviceFacts* d) { return d->activePaths().size() >= 2; });
    ASSERT_NE(many, configured.end()) << "the topology needs a device with two active paths";
    const std::vector<std::string> all = (*many)->activePaths();
    for (const int capacity : {-1, 0, 1, static_cast<int>(all.size()) - 1}) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        const int stored = std::max(capacity, 0);
        EXPECT_EQ(expectPaths((*many)->node(), capacity, static_cast<int>(all.size()),
                              std::vector<std::string>(all.begin(), all.begin() + stored)),
                  stored);
    }
}

TEST(Partitions, RecognisedByDeviceNumber) {
    ASSERT_TRUE(initialised());
    struct Row {
        std::string path;
        std::string parent; // empty: not a partition of a pseudo device
    };
    std::vector<Row> rows;
    for (const Named& n : namesOfConfiguredDevices(true)) rows.push_back({n.path, n.partition ? n.device->node() : ""});
    for (const DeviceFacts* d : topology().configured())
        for (int p : d->partitions) rows.push_back({"/dev/" + d->paths.front().sd + std::to_string(p), ""});
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        Bytes parent;
        ErrorOut out;
        const int result = api().isPartitionDevice(nullptr, r.path.c_str(), parent.data(), &out.err, out.errbuf());
        EXPECT_EQ(result, r.parent.empty() ? 0 : 1);
        if (r.parent.empty()) {
            EXPECT_TRUE(parent.untouched());
        } else {
            EXPECT_EQ(parent.text(), r.parent);
        }
        EXPECT_TRUE(parent.intact());
        EXPECT_TRUE(out.untouched());
    }

    const std::string missing = "/dev/emcpowera99";
    ErrorOut out;
    EXPECT_EQ(api().isPartitionDevice(nullptr, missing.c_str(), nullptr, &out.err, out.errbuf()), 0);
    EXPECT_TRUE(holds(out, ENOENT, "Stat " + missing + " failed:" + std::to_string(ENOENT)));
}

TEST(Partitions, ParentNodeMissing) {
    ASSERT_TRUE(initialised());
    // A partition node of a pseudo device that has no node of its own.
    const std::string parentName = "emcpowerzz";
    const std::string orphan = "/dev/orphan-partition";
    const int minorNumber = static_cast<int>(16 * pseudoIndex(parentName) + 3);
    ASSERT_EQ(::mknod(orphan.c_str(), S_IFBLK | 0600, makedev(adminMajorFromProcDevices(), minorNumber)), 0)
        << std::strerror(errno);

    char parent[MAXMPIOPATHLEN] = {};
    ErrorOut out;
    EXPECT_EQ(api().isPartitionDevice(nullptr, orphan.c_str(), parent, &out.err, out.errbuf()), 0);
    EXPECT_EQ(std::string(parent), "/dev/" + parentName);
    EXPECT_TRUE(holds(out, ENOENT, "pdev stat failed " + orphan + "(parent:/dev/" + parentName +
                                      ") :" + std::to_string(ENOENT)));
    // Without a parent buffer the parent is not looked for.
    ErrorOut unasked;
    EXPECT_EQ(api().isPartitionDevice(nullptr, orphan.c_str(), nullptr, &unasked.err, unasked.errbuf()), 1);
    EXPECT_TRUE(unasked.untouched());
    ::unlink(orphan.c_str());
}

TEST(Partitions, RecordsMatchTheImageTable) {
    ASSERT_TRUE(initialised());
    ASSERT_FALSE(topology().diskBacked().empty()) << "the topology needs a disk-backed device";
    for (const DeviceFacts* d : topology().diskBacked()) {
        const std::vector<TableEntry> table = sfdiskTable(d->node());
        std::vector<int> numbers;
        for (const TableEntry& e : table) numbers.push_back(e.number);
        EXPECT_EQ(numbers, d->partitions) << "the image of " << d->name << " is not what its image line says";
        const auto [wholeMajor, wholeMinor] = deviceNumbers(d->node());

        // Names are made from the path as given; numbers from the node it leads to.
        for (const std::string& dev : {d->node(), d->byId()}) {
            SCOPED_TRACE(dev);
            RecordArray records(table.size() + 2);
            int count = static_cast<int>(records.capacity());
            ErrorOut out;
            const int result = api().getPartitionDevices(nullptr, dev.c_str(), records.data(), &count, 0,
                                                         &out.err, out.errbuf());
            ASSERT_EQ(result, static_cast<int>(table.size()));
            EXPECT_EQ(count, result);
            EXPECT_TRUE(out.untouched());
            for (std::size_t i = 0; i < table.size(); ++i) {
                const TmPartInfo& r = records.at(i);
                const TableEntry& e = table[i];
                SCOPED_TRACE("partition " + std::to_string(e.number));
                EXPECT_EQ(std::string(r.name), dev + std::to_string(e.number));
                EXPECT_EQ(r.partNo, e.number);
                EXPECT_EQ(r.start, e.start);
                EXPECT_EQ(r.size, e.size);
                EXPECT_EQ(r.sectorSize, 512);
                EXPECT_EQ(r.major, wholeMajor);
                EXPECT_EQ(r.minor, wholeMinor + e.number);
                // The record's numbers are those of the partition's own node.
                EXPECT_EQ(deviceNumbers(partitionNode(*d, e.number)), std::make_pair(r.major, r.minor));
            }
            EXPECT_TRUE(records.untouched(table.size()) && records.intact()) << "a record written past the partitions";
        }
    }
}

TEST(Partitions, RecordsCutToCapacity) {
    ASSERT_TRUE(initialised());
    ASSERT_FALSE(topology().diskBacked().empty());
    const DeviceFacts& d = *topology().diskBacked().front();
    const std::vector<TableEntry> table = sfdiskTable(d.node());
    ASSERT_GT(table.size(), 2u);
    for (const int capacity : {0, 2}) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        RecordArray records(capacity);
        int count = capacity;
        ErrorOut out;
        EXPECT_EQ(api().getPartitionDevices(nullptr, d.node().c_str(), records.data(), &count, 0, &out.err,
                                            out.errbuf()),
                  static_cast<int>(table.size()));
        EXPECT_EQ(count, static_cast<int>(table.size()));
        for (int i = 0; i < capacity; ++i) EXPECT_EQ(records.at(i).partNo, table[i].number);
        EXPECT_TRUE(records.intact());
        EXPECT_TRUE(out.untouched());
    }
}

TEST(Partitions, RefusedDevices) {
    ASSERT_TRUE(initialised());
    const DeviceFacts& d = *topology().diskBacked().front();
    const std::string refused[] = {partitionNode(d, d.partitions.front()),
                                   partitionLink(d, d.partitions.front()),
                                   "/dev/" + d.paths.front().sd, "/dev/emcpowerzz", "/dev/null"};
    for (const std::string& dev : refused) {
        SCOPED_TRACE(dev);
        RecordArray record(1);
        int count = 1;
        ErrorOut out;
        EXPECT_EQ(api().getPartitionDevices(nullptr, dev.c_str(), record.data(), &count, 0, &out.err, out.errbuf()), -1);
        EXPECT_EQ(count, 0);
        EXPECT_TRUE(holds(out, -1, dev));
        EXPECT_TRUE(record.untouched(0) && record.intact());
    }
}

// The removal and rescan tests change the machine: they run in a sandbox of their own.

// Whether /proc/partitions has a line for the device or one of its partitions.
bool listed(const std::string& name) {
    std::istringstream in(readFile("/proc/partitions"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string major, minor, blocks, device;
        if ((words >> major >> minor >> blocks >> device) && device.rfind(name, 0) == 0 &&
            device.find_first_not_of("0123456789", name.size()) == std::string::npos)
            return true;
    }
    return false;
}

TEST(Changes, DeleteThenRefreshBringsDevicesBack) {
    const TopologyFacts& t = topology();
    const DeviceFacts& victim = t.device("emcpowerc");
    ASSERT_TRUE(victim.configured && !victim.partitions.empty());
    const int n = static_cast<int>(t.devices.size());
    {
        ErrorOut out;
        EXPECT_EQ(api().deleteMPIODevice(nullptr, victim.node().c_str(), &out.err, out.errbuf()), 0);
        EXPECT_TRUE(out.untouched());
    }
    std::vector<std::string> remaining;
    for (const DeviceFacts* d : t.configured())
        if (d != &victim) remaining.push_back(d->node());
    const Listing afterRemoval = checkedListing(n);
    EXPECT_EQ(afterRemoval.result, 0);
    EXPECT_EQ(afterRemoval.paths, remaining);
    EXPECT_FALSE(listed(victim.name));
    // powermt's saved configuration: one device a line, its name first.
    std::vector<std::string> saved, expectedSaved;
    std::istringstream custom(readFile(std::string(std::getenv("POWERMT_SIM_STATE")) + "/powermt.custom"));
    for (std::string line; std::getline(custom, line);)
        if (!line.empty() && line[0] != '#') saved.push_back(line.substr(0, line.find(' ')));
    for (const std::string& node : remaining) expectedSaved.push_back(node.substr(std::strlen("/dev/")));
    std::sort(saved.begin(), saved.end());
    std::sort(expectedSaved.begin(), expectedSaved.end());
    EXPECT_EQ(saved, expectedSaved) << "the configuration was not saved without " << victim.name;
    for (const std::string& gone : {victim.node(), victim.byId(), partitionNode(victim, victim.partitions[0])}) {
        SCOPED_TRACE(gone);
        expectIsMPIO(gone, 0);
        expectPaths(gone, 4, -6, {});
    }
    {
        // A second removal fails in powermt; the release and the save still
        // run and succeed, so only err and errbuf tell.
        ErrorOut out;
        EXPECT_EQ(api().deleteMPIODevice(nullptr, victim.name.c_str(), &out.err, out.errbuf()), 0);
        EXPECT_EQ(out.err, 1);
        EXPECT_NE(std::string(out.errbuf()).find(victim.name), std::string::npos) << out.errbuf();
    }
    {
        ErrorOut out;
        EXPECT_EQ(api().refreshMPIO(nullptr, &out.err, out.errbuf()), 0);
        EXPECT_TRUE(out.untouched());
    }
    // Every device of the topology now: the removed one and the unconfigured ones too.
    std::vector<const DeviceFacts*> everyDevice;
    for (const DeviceFacts& d : t.devices) everyDevice.push_back(&d);
    const Listing afterRescan = checkedListing(n + 1);
    EXPECT_EQ(afterRescan.result, 0);
    EXPECT_EQ(afterRescan.paths, nodesOf(everyDevice));
    for (const DeviceFacts& d : t.devices) {
        if (d.configured && &d != &victim) continue;
        SCOPED_TRACE(d.name);
        EXPECT_TRUE(listed(d.name));
        expectIsMPIO(d.byId(), 1);
        expectPaths(d.node(), 8, 0, d.activePaths());
    }
}

TEST(Injected, FailuresReachTheEntryPoints) {
    const TopologyFacts& t = topology();
    ASSERT_FALSE(t.failures.empty()) << topologyFile() << " injects no failure";
    const DeviceFacts& first = *t.configured().front();
    const int n = static_cast<int>(t.configured().size());
    // A failed run leaves its status, and its text: what powermt printed on
    // standard error, or the runner's own words when it printed nothing.
    auto textOf = [](const FailureFacts& f) {
        return f.message.empty() ? "exit status " + std::to_string(f.status) : f.message + "\n";
    };

    ASSERT_TRUE(initialised()); // /proc/devices is not powermt's

    // A failing display fails the listing and the path query alike: nothing
    // stored, the count left as it was, powermt's status and text reported.
    const auto display = t.failureOf("display");
    const bool displayFails = display.has_value();
    auto expectDisplayFailure = [&](auto call) {
        PathArray array(8);
        int count = 8;
        ErrorOut out;
        EXPECT_EQ(call(array.data(), &count, out), -display->status);
        EXPECT_EQ(count, 8);
        EXPECT_TRUE(holds(array, {}));
        EXPECT_TRUE(holds(out, display->status, textOf(*display)));
    };
    {
        SCOPED_TRACE("getMPIODevices");
        if (displayFails) {
            expectDisplayFailure([](char** paths, int* count, ErrorOut& out) {
                return api().getMPIODevices(nullptr, paths, count, &out.err, out.errbuf());
            });
        } else {
            const Listing l = checkedListing(n + 1);
            EXPECT_EQ(l.result, 0);
            EXPECT_EQ(l.paths, nodesOf(t.configured()));
        }
    }
    {
        SCOPED_TRACE("getUnderlyingDevices");
        if (displayFails) {
            expectDisplayFailure([&](char** paths, int* count, ErrorOut& out) {
                return api().getUnderlyingDevices(nullptr, first.node().c_str(), paths, count, &out.err, out.errbuf());
            });
        } else {
            expectPaths(first.node(), 8, 0, first.activePaths());
        }
    }
    {
        SCOPED_TRACE("isMPIODevice");
        ErrorOut out;
        EXPECT_EQ(api().isMPIODevice(nullptr, first.node().c_str(), &out.err, out.errbuf()), 1);
    }
    {
        SCOPED_TRACE("refreshMPIO");
        ErrorOut out;
        const auto config = t.failureOf("config");
        EXPECT_EQ(api().refreshMPIO(nullptr, &out.err, out.errbuf()), config ? config->status : 0);
        if (config) {
            EXPECT_TRUE(holds(out, config->status, textOf(*config)));
        } else {
            EXPECT_TRUE(out.untouched());
        }
    }
    {
        SCOPED_TRACE("deleteMPIODevice");
        // All three commands run; the result is the save's, and the last
        // failure's status and text are what remain.
        std::optional<FailureFacts> last;
        for (const char* step : {"remove", "release", "save"})
            if (auto f = t.failureOf(step)) last = f;
        const auto save = t.failureOf("save");
        ErrorOut out;
        EXPECT_EQ(api().deleteMPIODevice(nullptr, first.node().c_str(), &out.err, out.errbuf()),
                  save ? save->status : 0);
        if (last) {
            EXPECT_TRUE(holds(out, last->status, textOf(*last)));
        } else {
            EXPECT_TRUE(out.untouched());
        }
        // A removal that failed removed nothing.
        if (t.failureOf("remove") && !displayFails) {
            EXPECT_EQ(checkedListing(n + 1).paths, nodesOf(t.configured()));
        }
    }
}

} // namespace
} // namespace e2e

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s [GoogleTest options] TOPOLOGY (inside mpio-sandbox)\n", argv[0]);
        return 2;
    }
    if (!std::getenv("POWERMT_SIM_STATE")) {
        std::fprintf(stderr, "%s: run me inside mpio-sandbox --topology %s\n", argv[0], argv[1]);
        return 2;
    }
    e2e::setTopologyFile(argv[1]);
    return RUN_ALL_TESTS();
}
