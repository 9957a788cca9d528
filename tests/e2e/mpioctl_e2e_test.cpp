// SPDX-License-Identifier: Apache-2.0
// mpioctl as an integrator runs it: `mpio-sandbox --topology T -- mpioctl ...`
// with the built plug-in, its text and JSON output and its exit statuses,
// checked against the topology file and against sfdisk in the same sandbox.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include <nlohmann/json.hpp>

#include "gtest_layer.h"
#include "processes.h"
#include "mpio/process.h"
#include "sandbox_probe.h"
#include "text.h"
#include "topology_facts.h"

namespace {

using e2e::DeviceFacts;
using e2e::nodesOf;
using nlohmann::json;
using e2e::TopologyFacts;
using mpio::process::ProgramRun;
using mpio::process::runProgram;
using mpiotest::contains;
using mpiotest::lines;

const std::string kDir = E2E_DIR;
const std::string kMachine = kDir + "/e2e.topo";
const std::string kFaults = kDir + "/faults-a.topo";
constexpr const char* kVendor = "Trelmaron: EMC PowerPath MPIO";

const TopologyFacts& facts(const std::string& file) {
    static std::map<std::string, TopologyFacts> read;
    if (!read.count(file)) read.emplace(file, e2e::readTopology(file));
    return read.at(file);
}

std::vector<std::string> strings(const json& array) { return array.get<std::vector<std::string>>(); }

// A command in a sandbox of the topology; MPIOCTL in its environment names the program.
ProgramRun sandboxed(const std::string& topology, const std::vector<std::string>& command) {
    std::vector<std::string> args = {"--topology", topology, "--"};
    args.insert(args.end(), command.begin(), command.end());
    return runProgram(MPIO_SANDBOX, args,
                      {.environment = {{"MPIOCTL", MPIOCTL_PATH}}, .timeout = std::chrono::minutes(2)});
}

ProgramRun mpioctl(const std::string& topology, std::vector<std::string> args) {
    args.insert(args.begin(), MPIOCTL_PATH);
    return sandboxed(topology, args);
}

#define REQUIRE_E2E_SANDBOX() REQUIRE_SANDBOX(MPIO_SANDBOX, kMachine)

json parsed(const ProgramRun& run) {
    try {
        return json::parse(run.out);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << " in: [" << run.out << "] stderr: " << run.err;
        throw;
    }
}

// The sections of a script's output, each ended by a line "@ STATUS".
struct Section {
    std::string out;
    int status;
};
std::vector<Section> sections(const std::string& out) {
    std::vector<Section> result(1);
    for (const std::string& line : lines(out)) {
        if (line.rfind("@ ", 0) == 0) {
            result.back().status = std::stoi(line.substr(2));
            result.emplace_back();
        } else {
            result.back().out += line + "\n";
        }
    }
    result.pop_back();
    return result;
}

// The commands one after the other in one sandbox, each one's output a section.
ProgramRun inOneSandbox(const std::string& topology, const std::vector<std::string>& commands) {
    std::string script;
    for (const std::string& command : commands) script += command + "; echo \"@ $?\"; ";
    return sandboxed(topology, {"/bin/sh", "-c", script});
}

TEST(MpioctlOutput, VendorAndDevices) {
    REQUIRE_E2E_SANDBOX();
    const std::vector<std::string> configured = nodesOf(facts(kMachine).configured());
    for (const char* command : {"vendor", "init"}) {
        const ProgramRun run = mpioctl(kMachine, {command});
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.out, std::string(kVendor) + "\n");
        const json doc = parsed(mpioctl(kMachine, {"--json", command}));
        EXPECT_EQ(doc.at("vendor"), kVendor);
    }
    const ProgramRun text = mpioctl(kMachine, {"devices"});
    EXPECT_EQ(text.exitStatus, 0) << text.err;
    EXPECT_EQ(text.err, "");
    EXPECT_EQ(lines(text.out), configured);
    const ProgramRun inJson = mpioctl(kMachine, {"devices", "--json"});
    EXPECT_EQ(inJson.exitStatus, 0);
    const json doc = parsed(inJson);
    EXPECT_EQ(doc.at("ok"), true);
    EXPECT_EQ(strings(doc.at("devices")), configured);
}

// The inventory of the default machine: every configured device, its active
// and passive paths and its partitions, as a tree and as a document that
// matches its JSON Schema.
TEST(MpioctlOutput, InventoryTreeAndDocument) {
    REQUIRE_E2E_SANDBOX();
    const TopologyFacts& t = facts(kMachine);
    std::vector<std::string> tree;
    for (const DeviceFacts* d : t.configured()) {
        std::vector<std::string> branches;
        for (const std::string& path : d->activePaths()) branches.push_back("path " + path);
        // Only a disk-backed device has a partition table to read.
        if (d->diskBacked)
            for (int p : d->partitions) branches.push_back("partition " + d->node() + std::to_string(p));
        tree.push_back(d->node() + "  isMPIODevice: yes");
        for (std::size_t i = 0; i < branches.size(); ++i)
            tree.push_back((i + 1 < branches.size() ? "|- " : "`- ") + branches[i]);
    }
    const ProgramRun text = mpioctl(kMachine, {"inventory"});
    EXPECT_EQ(text.exitStatus, 0) << text.err;
    EXPECT_EQ(text.err, "");
    std::vector<std::string> shown; // the partition lines up to their records
    for (const std::string& line : lines(text.out)) shown.push_back(line.substr(0, line.find("  partno")));
    EXPECT_EQ(shown, tree);

    const ProgramRun inJson = mpioctl(kMachine, {"--json", "inventory"});
    EXPECT_EQ(inJson.exitStatus, 0);
    const ProgramRun valid = runProgram(MPIOCTL_JSON_VALIDATOR, {MPIOCTL_SCHEMA_DIR, inJson.out});
    EXPECT_EQ(valid.exitStatus, 0) << valid.out << valid.err;
    const json doc = parsed(inJson);
    const json::array_t& devices = doc.at("devices").get_ref<const json::array_t&>();
    ASSERT_EQ(devices.size(), t.configured().size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const DeviceFacts& d = *t.configured()[i];
        SCOPED_TRACE(d.name);
        EXPECT_EQ(devices[i].at("device"), d.node());
        EXPECT_EQ(devices[i].at("mpio"), true);
        EXPECT_EQ(strings(devices[i].at("paths")), d.activePaths());
        std::vector<int> numbers;
        for (const json& r : devices[i].at("partitions")) numbers.push_back(r.at("partNo"));
        EXPECT_EQ(numbers, d.diskBacked ? d.partitions : std::vector<int>{});
        EXPECT_EQ(devices[i].at("errors"), json::array());
    }

    // For scripts: one tab-separated row per device, path and partition.
    const ProgramRun raw = mpioctl(kMachine, {"inventory", "--raw", "--no-headings"});
    EXPECT_EQ(raw.exitStatus, 0) << raw.err;
    EXPECT_EQ(lines(raw.out).size(), tree.size());
    EXPECT_EQ(lines(raw.out).front(), "device\t" + t.configured().front()->node() + "\tyes\t-\t-\t-\t-\t-\t-\t-");
}

TEST(MpioctlOutput, AnswersAndExitStatuses) {
    REQUIRE_E2E_SANDBOX();
    const TopologyFacts& t = facts(kMachine);
    const DeviceFacts& first = *t.configured().front();
    const DeviceFacts& disk = *t.diskBacked().front();
    const std::string partition = disk.node() + std::to_string(disk.partitions.back());
    const std::string sd = "/dev/" + first.paths.front().sd;
    struct Row {
        std::vector<std::string> args;
        int exitStatus;                 // 0 yes or success, 1 no, 2 failure
        std::vector<std::string> lines; // standard output of the text form
        std::string key;                // the JSON member that carries the answer
    };
    const Row rows[] = {
        {{"is-mpio", first.byId()}, 0, {first.byId() + ": a PowerPath pseudo device or a partition of one"}, "mpio"},
        {{"is-mpio", sd}, 1, {sd + ": not a PowerPath pseudo device"}, "mpio"},
        {{"is-partition", partition}, 0, {partition + ": partition of " + disk.node()}, "parent"},
        {{"is-partition", disk.node()}, 1, {disk.node() + ": not a partition of a PowerPath pseudo device"}, "partition"},
        {{"is-partition", "/dev/emcpowerzz"}, 2, {}, "error"},
        {{"paths", partition}, 0, disk.activePaths(), "paths"},
        {{"paths", sd}, 2, {}, "error"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.args[0] + " " + r.args[1]);
        const ProgramRun text = mpioctl(kMachine, r.args);
        EXPECT_EQ(text.exitStatus, r.exitStatus) << text.err;
        EXPECT_EQ(lines(text.out), r.lines);
        EXPECT_EQ(text.err.empty(), r.exitStatus != 2) << text.err;

        std::vector<std::string> args = r.args;
        args.insert(args.begin(), "--json");
        const ProgramRun inJson = mpioctl(kMachine, args);
        EXPECT_EQ(inJson.exitStatus, r.exitStatus);
        const json doc = parsed(inJson);
        EXPECT_EQ(doc.at("exitStatus"), r.exitStatus);
        EXPECT_EQ(doc.at("ok"), r.exitStatus == 0);
        const json& answer = doc.at(r.key);
        if (r.key == "mpio" || r.key == "partition") {
            EXPECT_EQ(answer, r.exitStatus == 0);
        } else if (r.key == "parent") {
            EXPECT_EQ(answer, disk.node());
        } else if (r.key == "paths") {
            EXPECT_EQ(strings(answer), r.lines);
        } else {
            EXPECT_EQ(answer.at("entryPoint"), r.args[0] == "paths" ? "getUnderlyingDevices" : "isPartitionDevice");
        }
    }
}

TEST(MpioctlOutput, PartitionRecordsMatchTheImage) {
    REQUIRE_E2E_SANDBOX();
    const DeviceFacts& disk = *facts(kMachine).diskBacked().front();
    const std::string node = disk.node();
    const ProgramRun run = inOneSandbox(kMachine, {"\"$MPIOCTL\" --json partitions " + node,
                                                   "\"$MPIOCTL\" partitions " + node, "sfdisk --dump " + node,
                                                   "stat -L -c '%t %T' " + node});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::vector<Section> s = sections(run.out);
    ASSERT_EQ(s.size(), 4u) << run.out;
    for (const Section& section : s) EXPECT_EQ(section.status, 0) << section.out;

    // The whole device's numbers, as stat prints them (hexadecimal).
    std::istringstream numbers(s[3].out);
    int major = 0, minor = 0;
    numbers >> std::hex >> major >> minor;

    const json doc = json::parse(s[0].out);
    const json::array_t& records = doc.at("partitions").get_ref<const json::array_t&>();
    std::vector<std::string> table = lines(s[1].out);
    ASSERT_FALSE(table.empty());
    table.erase(table.begin()); // the heading
    std::vector<std::string> dump;
    for (const std::string& line : lines(s[2].out))
        if (line.rfind(node, 0) == 0) dump.push_back(line);
    ASSERT_EQ(records.size(), disk.partitions.size());
    ASSERT_EQ(table.size(), records.size());
    ASSERT_EQ(dump.size(), records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const json& r = records[i];
        const int p = disk.partitions[i];
        SCOPED_TRACE(dump[i]);
        EXPECT_EQ(r.at("name"), node + std::to_string(p));
        EXPECT_EQ(r.at("partNo"), p);
        long long start = 0, size = 0;
        ASSERT_EQ(std::sscanf(dump[i].c_str() + dump[i].find("start="), "start= %lld, size= %lld", &start, &size), 2);
        EXPECT_EQ(r.at("start"), start);
        EXPECT_EQ(r.at("size"), size);
        EXPECT_EQ(r.at("sectorSize"), 512);
        EXPECT_EQ(r.at("major"), major);
        EXPECT_EQ(r.at("minor"), minor + p);
        // The text table shows the same record, column by column.
        std::istringstream row(table[i]);
        std::vector<std::string> cells;
        for (std::string cell; row >> cell;) cells.push_back(cell);
        const std::vector<std::string> expected = {
            r.at("name").get<std::string>(), std::to_string(p), std::to_string(start), std::to_string(size), "512",
            std::to_string(major), std::to_string(minor + p)};
        EXPECT_EQ(cells, expected);
    }
}

TEST(MpioctlOutput, DeleteThenRefresh) {
    REQUIRE_E2E_SANDBOX();
    const TopologyFacts& t = facts(kMachine);
    const DeviceFacts& victim = t.device("emcpowerc");
    const std::string m = "\"$MPIOCTL\" ";
    const ProgramRun run =
        inOneSandbox(kMachine, {m + "delete " + victim.name, m + "devices", m + "is-mpio " + victim.node(), m + "refresh",
                                m + "--json devices", m + "is-mpio " + victim.byId()});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::vector<Section> s = sections(run.out);
    ASSERT_EQ(s.size(), 6u) << run.out << run.err;
    std::vector<std::string> remaining;
    for (const DeviceFacts* d : t.configured())
        if (d != &victim) remaining.push_back(d->node());
    std::vector<std::string> every;
    for (const DeviceFacts& d : t.devices) every.push_back(d.node());

    EXPECT_EQ(s[0].status, 0);
    EXPECT_TRUE(contains(s[0].out, victim.name)) << s[0].out;
    EXPECT_EQ(s[1].status, 0);
    EXPECT_EQ(lines(s[1].out), remaining);
    // The removal took the node away, and is-mpio says so.
    EXPECT_EQ(s[2].status, 2) << "is-mpio still says yes after the removal";
    EXPECT_EQ(s[3].status, 0);
    EXPECT_EQ(s[4].status, 0);
    EXPECT_EQ(strings(json::parse(s[4].out).at("devices")), every);
    EXPECT_EQ(s[5].status, 0) << "the by-id link did not come back";
    EXPECT_EQ(run.err, "mpioctl: " + victim.node() + " does not exist (isMPIODevice answered 0, no)\n");
}

TEST(MpioctlOutput, InjectedFailures) {
    REQUIRE_E2E_SANDBOX();
    const TopologyFacts& t = facts(kFaults);
    const auto config = t.failureOf("config");
    const auto release = t.failureOf("release");
    ASSERT_TRUE(config && release && !t.failureOf("save")) << kFaults << " changed";

    const ProgramRun refresh = mpioctl(kFaults, {"refresh"});
    EXPECT_EQ(refresh.exitStatus, 2);
    EXPECT_EQ(refresh.out, "");
    EXPECT_TRUE(contains(refresh.err, "plug-in error " + std::to_string(config->status) + ": " + config->message))
        << refresh.err;
    const json error = parsed(mpioctl(kFaults, {"--json", "refresh"})).at("error");
    EXPECT_EQ(error.at("result"), config->status);
    EXPECT_EQ(error.at("code"), config->status);
    EXPECT_EQ(error.at("text"), config->message);

    // The save succeeds, so deleteMPIODevice returns 0; mpioctl still fails
    // on the error that the release left.
    const std::string victim = t.configured().front()->name;
    const ProgramRun del = mpioctl(kFaults, {"--json", "delete", victim});
    EXPECT_EQ(del.exitStatus, 2);
    const json deleted = parsed(del).at("error");
    EXPECT_EQ(deleted.at("result"), 0);
    EXPECT_EQ(deleted.at("code"), release->status);
    EXPECT_EQ(deleted.at("text"), release->message);
}

// Every sandbox of this program released the loop devices of its images.
class LoopDevicesReleased : public ::testing::Environment {
public:
    void TearDown() override {
        for (const DeviceFacts* d : facts(kMachine).diskBacked()) {
            const std::string backing = "/sys/block/loop" + std::to_string(16 * d->index) + "/loop/backing_file";
            EXPECT_TRUE(mpiotest::eventually([&] { return !std::filesystem::exists(backing); }))
                << backing << ": the loop device is still attached";
        }
    }
};
const auto* const kLoopCheck = ::testing::AddGlobalTestEnvironment(new LoopDevicesReleased);

} // namespace
