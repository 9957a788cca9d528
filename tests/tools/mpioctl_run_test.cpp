// SPDX-License-Identifier: Apache-2.0
// Runs of the built mpioctl against the mock plug-ins and the real one:
// standard output, standard error, --json documents and exit statuses.
#include <gtest/gtest.h>

#include <new>

#include <nlohmann/json.hpp>

#include "TmMPIOVersion.h"
#include "commands.h"
#include "mpio/process.h"
#include "temp_dir.h"
#include "text.h"

namespace {

using mpio::process::ProgramRun;
using mpio::process::runProgram;
using nlohmann::json;
using mpiotest::contains;

const std::string kMock = MOCK_PLUGIN_PATH;

// The number of items of an array; throws for anything else.
std::size_t items(const json& array) { return array.get_ref<const json::array_t&>().size(); }

// Each key of fields is in the object with that value.
testing::AssertionResult hasFields(const json& object, const json& fields) {
    for (const auto& [key, value] : fields.items())
        if (!object.contains(key) || object.at(key) != value)
            return testing::AssertionFailure()
                   << key << " is " << (object.contains(key) ? object.at(key).dump() : "missing") << ", not "
                   << value.dump();
    return testing::AssertionSuccess();
}

// Every document matches the installed JSON Schema of its command, checked by
// the distribution's validator (python3-jsonschema).
void expectValidDocuments(const std::vector<std::string>& documents) {
    std::vector<std::string> arguments{MPIOCTL_SCHEMA_DIR};
    arguments.insert(arguments.end(), documents.begin(), documents.end());
    const ProgramRun run = runProgram(MPIOCTL_JSON_VALIDATOR, arguments);
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
}

class MpioctlRun : public testing::Test {
protected:
    void TearDown() override {
        if (!documents_.empty()) expectValidDocuments(documents_);
    }

    // mpioctl with the mock plug-in, its switches and its trace file.
    ProgramRun mock(std::vector<std::string> args, const std::string& flags = "") {
        args.insert(args.begin(), {"--plugin", kMock});
        return runProgram(MPIOCTL_PATH, args, {.environment = {{"MOCK_MPIO", flags}, {"MOCK_MPIO_TRACE", tracePath_}}});
    }

    json mockJson(std::vector<std::string> args, int exitStatus,
                       const std::string& flags = "") {
        args.insert(args.begin(), "--json");
        const ProgramRun run = mock(args, flags);
        documents_.push_back(run.out);
        EXPECT_EQ(run.exitStatus, exitStatus) << run.out << run.err;
        EXPECT_EQ(run.err, "");
        try {
            const json doc = json::parse(run.out);
            EXPECT_EQ(doc.at("plugin"), kMock);
            EXPECT_EQ(doc.at("exitStatus"), exitStatus);
            EXPECT_EQ(doc.at("ok"), exitStatus == 0);
            return doc;
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what() << " in: " << run.out;
            throw;
        }
    }

    // The calls that the mock saw, one line each; the host's timeout only when
    // asked for, since the host's default is its own.
    std::vector<std::string> trace(bool withTimeout = false) const {
        std::vector<std::string> lines = mpiotest::lines(mpiotest::readFile(tracePath_));
        if (!withTimeout)
            for (std::string& line : lines) line = line.substr(0, line.find(" timeout="));
        return lines;
    }

    mpiotest::TempDir dir_;
    const std::string tracePath_ = dir_ / "trace"; // made by the mock's first call
    std::vector<std::string> documents_; // the --json documents, validated at the end
};

struct Case {
    std::vector<std::string> args;
    std::string flags;
    int exitStatus;
    std::string out; // expected standard output; "*" followed by text: contains that text
    std::vector<std::string> errParts; // "=" followed by text: standard error is that text
};

void expectRun(const ProgramRun& run, const Case& c) {
    EXPECT_EQ(run.exitStatus, c.exitStatus) << run.out << run.err;
    if (c.out.starts_with("*")) {
        EXPECT_TRUE(contains(run.out, c.out.substr(1))) << run.out;
    } else {
        EXPECT_EQ(run.out, c.out);
    }
    for (const std::string& part : c.errParts) {
        if (part.starts_with("="))
            EXPECT_EQ(run.err, part.substr(1));
        else
            EXPECT_TRUE(contains(run.err, part)) << run.err;
    }
    if (c.errParts.empty()) {
        EXPECT_EQ(run.err, "");
    }
}

TEST_F(MpioctlRun, AnswersFailuresAndExitStatusesInTextMode) {
    const Case cases[] = {
        {{"vendor"}, "", 0, "Mock: scripted MPIO\n", {}},
        {{"vendor"}, "no-vendor", 2, "", {"mpioctl: getVendorName returned null"}},
        {{"init"}, "", 0, "Mock: scripted MPIO\n", {}},
        {{"init"}, "init-fails", 2, "", {"mpioctl: init failed (it returned null)"}},
        {{"devices"}, "devices-fail", 2, "",
         {"mpioctl: getMPIODevices failed with result -2\n",
          "mpioctl: plug-in error 2: powermt: \"dev=all\" failed\\n\\tsee log\n"}},
        {{"devices"}, "many-devices", 0, "*\n/dev/emcpowereqxc\n/dev/emcpowereqxd\n", {}},
        {{"devices"}, "no-powerpath", 2, "",
         {"mpioctl: no PowerPath on this machine: no pseudo device listed, and init failed"}},
        {{"devices"}, "devices-grow", 2, "",
         {"still asked for more path buffers after 8 calls (last offer 25 path buffers)"}},
        {{"is-mpio", "/dev/emcpowerb"}, "", 0,
         "/dev/emcpowerb: a PowerPath pseudo device or a partition of one\n", {}},
        {{"is-mpio", "/dev/null"}, "", 1, "/dev/null: not a PowerPath pseudo device\n", {}},
        {{"is-mpio", "/dev/no-such-sdq"}, "", 2, "",
         {"=mpioctl: /dev/no-such-sdq does not exist (isMPIODevice answered 0, no)\n"}},
        {{"is-mpio", "/dev/fail"}, "", 2, "",
         {"isMPIODevice failed with result -1", "plug-in error -1 (no error text)"}},
        {{"paths", "/dev/sdb"}, "", 2, "",
         {"mpioctl: /dev/sdb is not a PowerPath pseudo device (getUnderlyingDevices returned -6)"}},
        {{"paths", "/dev/emcpowerx"}, "", 2, "",
         {"getUnderlyingDevices failed with result -2", "plug-in error 2: powermt: device not found"}},
        {{"paths", "/dev/emcpowerd1"}, "", 0, "/dev/sdh\n",
         {"mpioctl: warning: getUnderlyingDevices succeeded but left an error",
          "plug-in error 2: pdev stat failed /dev/emcpowerd1(parent:/dev/emcpowerd) :2"}},
        {{"paths", "/dev/emcpowerc"}, "init-fails", 0, "*/dev/sdg\n",
         {"mpioctl: warning: init failed", "going on, but a partition is not mapped"}},
        {{"partitions", "/dev/emcpowerb"}, "", 0,
         "NAME  PARTNO  START  SIZE  SECTORSIZE  MAJOR  MINOR\n", {}},
        {{"partitions", "/dev/emcpowerb", "--no-headings"}, "", 0, "", {}},
        {{"--raw", "partitions", "/dev/emcpowera"}, "", 0,
         "*NAME\tPARTNO\tSTART\tSIZE\tSECTORSIZE\tMAJOR\tMINOR\n/dev/emcpowera1\t1\t2048\t1000000\t512\t120\t1\n",
         {}},
        {{"partitions", "/dev/sdb"}, "", 2, "",
         {"=mpioctl: /dev/sdb is not a whole PowerPath pseudo device (getPartitionDevices "
          "returned -1)\n"}},
        // The reader's error is no plug-in code, whatever number it has.
        {{"partitions", "/dev/emcpowerr"}, "", 2, "",
         {"=mpioctl: the partition table of /dev/emcpowerr could not be read: No such device or address "
          "(the partition reader's error -6, returned by getPartitionDevices)\n"
          "mpioctl: plug-in error -6: /dev/emcpowerr\n"}},
        {{"partitions", "/dev/emcpowera"}, "init-fails", 2, "", {"mpioctl: init failed"}},
        {{"inventory"}, "", 2, "*/dev/emcpowerc  isMPIODevice: yes  partitions: unknown\n",
         {"\nmpioctl: /dev/emcpowerc is not a whole PowerPath pseudo device (getPartitionDevices "
          "returned -1)\nmpioctl: /dev/emcpowerd is not a PowerPath pseudo device "
          "(getUnderlyingDevices returned -6)\n"}},
        // Control characters from the plug-in never reach the terminal, nor split a row.
        {{"devices"}, "odd-names", 0, "/dev/emcpower\\ta\n/dev/emcpower\\x1b[31mb\n/dev/emcpowerc\\x0d\n", {}},
        {{"--raw", "--no-headings", "inventory"}, "odd-names", 2,
         "device\t/dev/emcpower\\ta\tyes\t-\t-\t-\t-\t-\t-\t-\n"
         "device\t/dev/emcpower\\x1b[31mb\tyes\t-\t-\t-\t-\t-\t-\t-\n"
         "device\t/dev/emcpowerc\\x0d\tyes\t-\t-\t-\t-\t-\t-\t-\n",
         {"\nmpioctl: /dev/emcpower\\x1b[31mb is not a PowerPath pseudo device (getUnderlyingDevices "
          "returned -6)\n"}},
        {{"is-mpio", "/dev/\x1b]0;x\x07"}, "", 2, "",
         {"=mpioctl: /dev/\\x1b]0;x\\x07 does not exist (isMPIODevice answered 0, no)\n"}},
        {{"is-partition", "/dev/emcpowera1"}, "", 0, "/dev/emcpowera1: partition of /dev/emcpowera\n",
         {}},
        {{"is-partition", "/dev/emcpowera"}, "", 1,
         "/dev/emcpowera: not a partition of a PowerPath pseudo device\n", {}},
        {{"is-partition", "/dev/missing"}, "", 2, "",
         {"isPartitionDevice could not examine /dev/missing", "plug-in error 2: Stat /dev/missing failed:2"}},
        {{"is-partition", "/dev/emcpowera1"}, "init-fails", 2, "", {"init failed"}},
        {{"refresh"}, "", 0, "refreshed the PowerPath configuration\n", {}},
        {{"refresh"}, "refresh-fails", 2, "",
         {"refreshMPIO failed with result 5", "plug-in error 5: powermt config: failed\n"}},
        {{"delete", "/dev/emcpowerc"}, "", 0,
         "deleted /dev/emcpowerc; the configuration was released and saved\n", {}},
        {{"delete", "busy"}, "", 2, "",
         {"=mpioctl: device busy\nmpioctl: the removal of busy or the release before the save "
          "failed (plug-in error 1); the configuration was still saved\n"}},
        {{"delete", "emcpowerzz"}, "", 2, "",
         {"=mpioctl: Bad dev value emcpowerzz, or not under Powerpath control.\nmpioctl: the "
          "removal of emcpowerzz or the release before the save failed (plug-in error 1); the "
          "configuration was still saved\n"}},
        {{"delete", "nosave"}, "", 2, "",
         {"failed with result 4: the configuration was not saved", "plug-in error 4: cannot save"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + " MOCK_MPIO=" + c.flags);
        expectRun(mock(c.args, c.flags), c);
    }
}

TEST_F(MpioctlRun, NegotiatesDeviceArraysWithClearedErrors) {
    const ProgramRun run = mock({"devices"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out,
              "/dev/emcpowera\n/dev/emcpowerb\n/dev/emcpowerc\n/dev/emcpowerd\n/dev/emcpowere\n"
              "/dev/emcpowerf\n");
    EXPECT_EQ(trace(), (std::vector<std::string>{"getMPIODevices cap=4 clear=1",
                                                 "getMPIODevices cap=7 clear=1"}));
}

TEST_F(MpioctlRun, PathsRunsInitFirstAndGrowsTheArray) {
    const ProgramRun run = mock({"--timeout", "9", "paths", "/dev/emcpowerc1"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "/dev/sdb\n/dev/sdc\n/dev/sdd\n/dev/sde\n/dev/sdf\n/dev/sdg\n");
    EXPECT_EQ(trace(true), (std::vector<std::string>{"init cap=0 clear=1 timeout=9",
                                                 "getUnderlyingDevices cap=4 clear=1 timeout=9",
                                                 "getUnderlyingDevices cap=6 clear=1 timeout=9"}));
}

TEST_F(MpioctlRun, PartitionsTableAfterInitAndRenegotiation) {
    const ProgramRun run = mock({"partitions", "/dev/emcpowera"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out,
              "NAME             PARTNO  START     SIZE  SECTORSIZE  MAJOR  MINOR\n"
              "/dev/emcpowera1       1   2048  1000000         512    120      1\n"
              "/dev/emcpowera2       2   4096  2000000         512    120      2\n"
              "/dev/emcpowera3       3   6144  3000000         512    120      3\n"
              "/dev/emcpowera4       4   8192  4000000         512    120      4\n"
              "/dev/emcpowera5       5  10240  5000000         512    120      5\n");
    EXPECT_EQ(trace(), (std::vector<std::string>{"init cap=0 clear=1",
                                                 "getPartitionDevices cap=4 clear=1",
                                                 "getPartitionDevices cap=5 clear=1"}));
}

TEST_F(MpioctlRun, PartitionsAreNotAskedForWhenInitFails) {
    EXPECT_EQ(mock({"partitions", "/dev/emcpowera"}, "init-fails").exitStatus, 2);
    EXPECT_EQ(trace(), (std::vector<std::string>{"init cap=0 clear=1"}));
}

TEST_F(MpioctlRun, JsonDocumentsCarryAnswers) {
    const json devices = mockJson({"devices"}, 0);
    EXPECT_EQ(devices.at("command"), "devices");
    ASSERT_EQ(items(devices.at("devices")), 6u);
    EXPECT_EQ(devices.at("devices").at(5), "/dev/emcpowerf");
    EXPECT_EQ(devices.at("warnings"), json::array());

    const json parts = mockJson({"partitions", "/dev/emcpowera"}, 0);
    EXPECT_EQ(parts.at("device"), "/dev/emcpowera");
    ASSERT_EQ(items(parts.at("partitions")), 5u);
    EXPECT_TRUE(hasFields(parts.at("partitions").at(4), {{"name", "/dev/emcpowera5"}, {"partNo", 5}, {"start", 10240},
                                                         {"size", 5000000}, {"sectorSize", 512}, {"major", 120},
                                                         {"minor", 5}}));

    EXPECT_TRUE(hasFields(mockJson({"is-partition", "/dev/emcpowera3"}, 0),
                          {{"partition", true}, {"parent", "/dev/emcpowera"}}));
    EXPECT_TRUE(hasFields(mockJson({"is-partition", "/dev/sdb1"}, 1), {{"partition", false}, {"parent", nullptr}}));

    // A path that is not valid UTF-8 still gives a valid document.
    const json odd = mockJson({"is-mpio", "/dev/sd\xff"}, 2);
    EXPECT_EQ(odd.at("path"), "/dev/sd\xef\xbf\xbd");
    EXPECT_EQ(odd.at("error").at("message"),
              "/dev/sd\xef\xbf\xbd does not exist (isMPIODevice answered 0, no)");
}

TEST_F(MpioctlRun, JsonDocumentsCarryThePluginsErrorsAndWarnings) {
    const json failed = mockJson({"devices"}, 2, "devices-fail");
    EXPECT_FALSE(failed.contains("devices"));
    EXPECT_TRUE(hasFields(failed.at("error"), {{"entryPoint", "getMPIODevices"}, {"result", -2}, {"code", 2},
                                               {"text", "powermt: \"dev=all\" failed\n\tsee log"}}));
    EXPECT_TRUE(hasFields(mockJson({"init"}, 2, "init-fails").at("error"),
                          {{"entryPoint", "init"}, {"result", nullptr}, {"code", nullptr}, {"text", nullptr}}));

    const json warned = mockJson({"paths", "/dev/emcpowerd1"}, 0);
    EXPECT_EQ(items(warned.at("paths")), 1u);
    ASSERT_EQ(items(warned.at("warnings")), 1u);
    EXPECT_EQ(warned.at("warnings").at(0).at("code"), 2);

    const json partial = mockJson({"delete", "busy"}, 2);
    EXPECT_EQ(partial.at("name"), "busy");
    EXPECT_TRUE(hasFields(partial.at("error"), {{"result", 0}, {"text", "device busy"}}));
    // powermt's message without the newline that ends its output.
    const json unknown = mockJson({"delete", "emcpowerzz"}, 2);
    EXPECT_EQ(unknown.at("error").at("text"),
              "Bad dev value emcpowerzz, or not under Powerpath control.");
}

TEST_F(MpioctlRun, HostLogLevelAndTimeoutFollowTheOptions) {
    const struct {
        std::vector<std::string> options;
        bool level0, levelMinus1;
        int timeout;
    } cases[] = {{{}, false, false, 60},
                 {{"--log", "0"}, true, false, 60},
                 {{"--log=-1", "--timeout", "0"}, true, true, 0},
                 {{"--log", "1", "--timeout=2147483647"}, false, false, 2147483647},
                 {{"--log", "debug"}, true, true, 60},
                 {{"--log=info"}, true, false, 60}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        std::vector<std::string> args = c.options;
        args.push_back("init");
        const ProgramRun run = mock(args);
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.out, "Mock: scripted MPIO\n");
        EXPECT_EQ(contains(run.err, "init succeeded"), c.level0) << run.err;
        EXPECT_EQ(contains(run.err, "low-level detail 42"), c.levelMinus1) << run.err;
        EXPECT_EQ(trace(true).back(), "init cap=0 clear=1 timeout=" + std::to_string(c.timeout));
    }
}

TEST_F(MpioctlRun, FullDisksClosedPipesAndTheCallersSignals) {
    // Through sh: standard output into a full device, or into a pipe whose
    // reader has gone, or a caller that ignores and blocks signals; the
    // status comes back on standard error.
    const struct {
        std::string script;
        std::string err;
    } cases[] = {
        {"\"$0\" --help >/dev/full; echo \"status $?\" >&2",
         "mpioctl: cannot write the output: No space left on device\nstatus 74\n"},
        {"\"$0\" --plugin \"$1\" --json devices >/dev/full; echo \"status $?\" >&2",
         "mpioctl: cannot write the output: No space left on device\nstatus 74\n"},
        // A closed pipe ends it quietly, by SIGPIPE, as other tools end.
        {"{ sleep 0.3; \"$0\" --plugin \"$1\" devices; echo \"status $?\" >&2; } | true",
         "status 141\n"},
        {"{ sleep 0.3; env --ignore-signal=PIPE --block-signal=PIPE \"$0\" --plugin \"$1\" --json devices;"
         " echo \"status $?\" >&2; } | true",
         "status 141\n"},
        // The commands that the plug-in runs are still reaped.
        {"env --ignore-signal=CHLD --block-signal=CHLD,TERM \"$0\" --plugin \"$1\" refresh >/dev/null;"
         " echo \"status $?\" >&2",
         "status 0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const ProgramRun run = runProgram("/bin/sh", {"-c", c.script, MPIOCTL_PATH, kMock});
        EXPECT_EQ(run.err, c.err);
    }
}

TEST_F(MpioctlRun, UsageErrorsGiveStatus64AndNoOutput) {
    const Case cases[] = {
        {{"frobnicate"}, "", 64, "", {"mpioctl: unknown command 'frobnicate'", "mpioctl --help"}},
        {{"is-mpio"}, "", 64, "", {"needs exactly one argument, PATH", "mpioctl help is-mpio"}},
        {{"--json", "devices", "--log"}, "", 64, "", {"option --log needs a value"}},
        {{"--timeout", "soon", "refresh"}, "", 64, "", {"option --timeout needs a number"}},
        {{"--log", "7", "init"}, "", 64, "",
         {"option --log needs a level of the host log, debug (-1), info (0), warning (1), error "
          "(2), not '7'"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        expectRun(mock(c.args), c);
    }
    EXPECT_TRUE(trace().empty());
}

TEST_F(MpioctlRun, HelpForTheProgramAndEachCommand) {
    const ProgramRun program = mock({"--help"});
    EXPECT_EQ(program.exitStatus, 0);
    EXPECT_TRUE(contains(program.out, kMock)) << "the plug-in that would be loaded";
    const ProgramRun viaHelp = mock({"help", "is-partition"});
    const ProgramRun viaOption = mock({"is-partition", "--help"});
    EXPECT_EQ(viaHelp.exitStatus, 0);
    EXPECT_TRUE(contains(viaHelp.out, "Usage: mpioctl [OPTIONS] is-partition PATH"));
    EXPECT_EQ(viaHelp.out, viaOption.out);
    const ProgramRun version = mock({"devices", "--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out, "mpioctl (TmMPIO_EMCPowerPath) " TMMPIO_VERSION_STRING "\n");
    EXPECT_TRUE(trace().empty()) << "help and version call nothing";
}

TEST_F(MpioctlRun, PluginsThatCannotBeUsedGiveStatus3) {
    const std::string incomplete = MOCK_INCOMPLETE_PLUGIN_PATH;
    const ProgramRun lacking = runProgram(MPIOCTL_PATH, {"--plugin", incomplete, "vendor"});
    EXPECT_EQ(lacking.exitStatus, 3);
    EXPECT_EQ(lacking.out, "");
    EXPECT_EQ(lacking.err, "mpioctl: plugin " + incomplete + " lacks entry point refreshMPIO\n");

    const ProgramRun missing = runProgram(MPIOCTL_PATH, {"--plugin", "/nonexistent/p.so", "init"});
    EXPECT_EQ(missing.exitStatus, 3);
    EXPECT_EQ(missing.err, "mpioctl: cannot load plugin /nonexistent/p.so: No such file or directory\n");

    const ProgramRun inJson =
        runProgram(MPIOCTL_PATH, {"--json", "--plugin", "/nonexistent/p.so", "devices"});
    EXPECT_EQ(inJson.exitStatus, 3);
    documents_.push_back(inJson.out);
    const json doc = json::parse(inJson.out);
    EXPECT_EQ(doc.at("ok"), false);
    EXPECT_TRUE(doc.at("error").at("entryPoint").is_null());
    EXPECT_TRUE(contains(doc.at("error").at("message").get<std::string>(),
                         "No such file or directory"));
}

// A plug-in that someone other than root or the caller could replace is not
// loaded: the file and each directory above it, made here in a private
// directory under the temporary directory.
TEST(MpioctlPluginTrust, RefusesAPluginThatOthersCouldReplace) {
    const struct {
        std::string setUp; // run in the private directory, which holds a/b/p.so
        std::string plugin;
        std::string refusal; // empty: loaded
    } cases[] = {
        {"", "a/b/p.so", ""},
        {"chmod 0664 a/b/p.so", "a/b/p.so", "a/b/p.so is writable by its group"},
        {"chown 65534 a/b/p.so", "a/b/p.so", "a/b/p.so is owned by uid 65534, neither root nor the caller"},
        {"chmod 0757 a/b", "a/b/p.so", "a/b is writable by others"},
        {"chown 65534 a", "a/b/p.so", "a is owned by uid 65534, neither root nor the caller"},
        // A sticky directory of root, as /tmp, above a directory that passes.
        {"chmod 1777 a", "a/b/p.so", ""},
        {"chmod 1777 a/b", "a/b/p.so",
         "a/b is writable by its group and others (a sticky directory is accepted only above a directory)"},
        // A link that others could replace, to a file that passes.
        {"mkdir -m 0777 c && ln -s ../a/b/p.so c/p.so", "c/p.so", "c is writable by its group and others"},
        {"mkdir -m 0700 c && ln -s ../a/b/p.so c/p.so", "c/p.so", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setUp);
        const mpiotest::TempDir dir;
        const ProgramRun made = runProgram(
            "/bin/sh", {"-c", "umask 022 && cd \"$0\" && mkdir -p a/b && cp \"$1\" a/b/p.so && chmod 0644 a/b/p.so && " +
                                  (c.setUp.empty() ? "true" : c.setUp),
                        dir.path(), kMock});
        ASSERT_EQ(made.exitStatus, 0) << made.err;
        const std::string plugin = dir / c.plugin;
        const ProgramRun run = runProgram(MPIOCTL_PATH, {"--plugin", plugin, "vendor"});
        if (c.refusal.empty()) {
            EXPECT_EQ(run.exitStatus, 0) << run.err;
            EXPECT_EQ(run.out, "Mock: scripted MPIO\n");
        } else {
            EXPECT_EQ(run.exitStatus, 3);
            EXPECT_EQ(run.err, "mpioctl: refusing to load plugin " + plugin + ": " + dir.path() + "/" +
                                   c.refusal + ", so someone else could replace the plug-in\n");
        }
    }
}

// Without /proc mpioctl cannot learn its own path; it then takes the
// configured plug-in directory, never the current one.
TEST(MpioctlPluginChoice, NeverLoadsFromTheCurrentDirectory) {
    const mpiotest::TempDir dir;
    const auto withoutProc = [&](const std::string& argument) {
        return runProgram("/bin/sh",
                          {"-c",
                           "cd \"$0\" && cp \"$1\" libTmMPIO_EMCPowerPath.so && exec unshare --mount sh -c "
                           "'mount -t tmpfs none /proc 2>/dev/null || exit 99; exec \"$0\" \"$1\"' \"$2\" \"$3\"",
                           dir.path(), kMock, MPIOCTL_PATH, argument});
    };
    const ProgramRun help = withoutProc("--help");
    if (help.exitStatus == 99) GTEST_SKIP() << "no mount namespace to hide /proc in";
    EXPECT_TRUE(contains(help.out, "This run: " MPIOCTL_CONFIGURED_PLUGIN "\n")) << help.out;
    const ProgramRun vendor = withoutProc("vendor");
    EXPECT_NE(vendor.out, "Mock: scripted MPIO\n");
    if (vendor.exitStatus == 3) {
        EXPECT_TRUE(contains(vendor.err, "\nmpioctl: name the plug-in to load with --plugin PATH or MPIOCTL_PLUGIN\n"))
            << vendor.err;
    }
}

// The installed program holds no path of the build tree (RPATH included) and
// does not look there for a plug-in, even when run from it.
TEST(MpioctlPluginChoice, TheInstalledProgramNeverLooksInTheBuildTree) {
    const std::string program = mpiotest::readFile(MPIOCTL_INSTALLED_PATH);
    ASSERT_FALSE(program.empty());
    for (const char* buildPath : {MPIOCTL_BUILD_BINDIR, MPIOCTL_BUILD_LIBDIR})
        EXPECT_FALSE(contains(program, buildPath)) << buildPath;
    const ProgramRun run = runProgram(MPIOCTL_INSTALLED_PATH, {"--json", "vendor"},
                                      {.environment = {{"LD_LIBRARY_PATH", MPIOCTL_BUILD_LIBDIR}}});
    EXPECT_EQ(run.exitStatus, 3) << run.out << run.err;
    EXPECT_FALSE(contains(run.out, MPIOCTL_BUILD_LIBDIR "/libTmMPIO_EMCPowerPath.so")) << run.out;
}

// Memory that runs out in mpioctl's own work is a failure to report.
TEST(MpioctlCommands, OutOfMemoryIsAFailureNotACrash) {
    const mpioctl::LoadResult loaded = mpioctl::loadPlugin(kMock);
    ASSERT_TRUE(loaded.plugin) << mpio::loader::joinedErrors(loaded);
    const mpioctl::ParseResult parsed = mpioctl::parseArguments({"inventory"});
    ASSERT_TRUE(parsed.invocation);
    // Here the progress of the third device, where mpioctl allocates its line.
    const mpioctl::Report report =
        mpioctl::runCommand(*parsed.invocation, loaded.plugin->entryPoints(), kMock, {},
                            [](std::size_t done, std::size_t) {
                                if (done == 3) throw std::bad_alloc();
                            });
    EXPECT_EQ(report.exitStatus, 2);
    ASSERT_TRUE(report.failure);
    EXPECT_EQ(report.failure->message, "inventory: out of memory");
    EXPECT_FALSE(report.inventory);
}

TEST(MpioctlRealPlugin, VendorOfTheBuiltPluginFoundBesideTheProgram) {
    const ProgramRun run = runProgram(MPIOCTL_PATH, {"vendor"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "Trelmaron: EMC PowerPath MPIO\n");
    const std::string document = runProgram(MPIOCTL_PATH, {"vendor", "--json"}).out;
    expectValidDocuments({document});
    const json doc = json::parse(document);
    EXPECT_EQ(doc.at("vendor"), "Trelmaron: EMC PowerPath MPIO");
    EXPECT_TRUE(doc.at("plugin").get<std::string>().ends_with("/lib/libTmMPIO_EMCPowerPath.so"));
    // The environment variable comes before the built plug-in, --plugin before both.
    const auto chosen = [](const std::vector<std::string>& args) {
        const ProgramRun run = runProgram(MPIOCTL_PATH, args, {.environment = {{"MPIOCTL_PLUGIN", kMock}}});
        return json::parse(run.out).at("plugin").get<std::string>();
    };
    EXPECT_EQ(chosen({"--json", "vendor"}), kMock);
    EXPECT_EQ(chosen({"--json", "--plugin", "/nonexistent/p.so", "vendor"}), "/nonexistent/p.so");
}

} // namespace
