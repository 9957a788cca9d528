// SPDX-License-Identifier: Apache-2.0
// Text output: aligned tables and bounded record names. JSON output: the
// documents byte for byte, and strings escaped so that any bytes give valid
// JSON.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include <nlohmann/json.hpp>

#include "report.h"

namespace mpioctl {
namespace {

TEST(FormatTable, AlignsColumnsLeftOrRight) {
    const std::string table = formatTable({{"NAME", "PARTNO", "START"},
                                           {"/dev/emcpowera1", "1", "2048"},
                                           {"/dev/emcpowera12", "12", "123456789"}},
                                          {false, true, true});
    EXPECT_EQ(table,
              "NAME              PARTNO      START\n"
              "/dev/emcpowera1        1       2048\n"
              "/dev/emcpowera12      12  123456789\n");
    // No blanks after the last cell of a row, however short the row.
    EXPECT_EQ(formatTable({{"a", "bb"}, {"ccc"}}, {}), "a    bb\nccc\n");
}

TEST(RecordName, StopsAtTheEndOfAnUnterminatedName) {
    TmPartInfo record{};
    std::memset(record.name, 'n', sizeof record.name);
    record.partNo = 7; // the bytes after the name must not be read as text
    EXPECT_EQ(recordName(record), std::string(sizeof record.name, 'n'));
    std::strcpy(record.name, "/dev/emcpowerb3");
    EXPECT_EQ(recordName(record), "/dev/emcpowerb3");
}

std::string jsonOf(const Report& report) {
    std::ostringstream out;
    renderJson(report, out);
    return out.str();
}

Report reportOf(const char* command, std::string argument = {}) {
    Report report;
    report.command = findCommand(command);
    report.plugin = "/p.so";
    report.argument = std::move(argument);
    return report;
}

TEST(RenderJson, DocumentsKeepTheirKeysOrderAndCompactForm) {
    Report parts = reportOf("partitions", "/dev/emcpowera");
    TmPartInfo record{};
    std::strcpy(record.name, "/dev/emcpowera1");
    record.partNo = 1;
    record.start = 2048;
    record.size = -9223372036854775807LL - 1;
    record.sectorSize = 512;
    record.major = 120;
    record.minor = 1;
    parts.partitions = {record};
    parts.warnings = {{"getPartitionDevices", 0, 3, "stray", "left an error"}};

    Report failed = reportOf("is-partition", "/dev/x");
    failed.exitStatus = 2;
    failed.failure = Problem{"isPartitionDevice", 0, std::nullopt, std::nullopt, "no"};

    Report no = reportOf("is-partition", "/dev/sdb1");
    no.exitStatus = 1;
    no.answer = false;
    Report devices = reportOf("devices");
    devices.paths = std::vector<std::string>{"/dev/emcpowera", "/dev/emcpowerb"};
    Report empty = reportOf("paths", "/dev/emcpowerc");
    empty.paths = std::vector<std::string>{};
    Report partial = reportOf("inventory");
    partial.exitStatus = 2;
    partial.inventory = std::vector<InventoryDevice>{
        {"/dev/emcpowera", true, std::nullopt, std::vector<TmPartInfo>{},
         {{"getUnderlyingDevices", -2, 2, "x", "failed"}}}};
    Report unloaded;
    unloaded.plugin = "/p.so";
    unloaded.exitStatus = 3;
    unloaded.failure = Problem{{}, std::nullopt, std::nullopt, std::nullopt, "cannot load"};

    const struct {
        Report report;
        std::string document;
    } cases[] = {
        {parts,
         R"({"schemaVersion":2,"command":"partitions","plugin":"/p.so","ok":true,"exitStatus":0,)"
         R"("device":"/dev/emcpowera","partitions":[{"name":"/dev/emcpowera1","partNo":1,)"
         R"("start":2048,"size":-9223372036854775808,"sectorSize":512,"major":120,"minor":1}],)"
         R"("warnings":[{"entryPoint":"getPartitionDevices","result":0,"code":3,"text":"stray",)"
         R"("message":"left an error"}]})"},
        {failed,
         R"({"schemaVersion":2,"command":"is-partition","plugin":"/p.so","ok":false,"exitStatus":2,"path":"/dev/x",)"
         R"("error":{"entryPoint":"isPartitionDevice","result":0,"code":null,"text":null,)"
         R"("message":"no"},"warnings":[]})"},
        // ok is true exactly when the exit status is 0.
        {no, R"({"schemaVersion":2,"command":"is-partition","plugin":"/p.so","ok":false,"exitStatus":1,)"
             R"("path":"/dev/sdb1","partition":false,"parent":null,"warnings":[]})"},
        {devices, R"({"schemaVersion":2,"command":"devices","plugin":"/p.so","ok":true,"exitStatus":0,)"
                  R"("devices":["/dev/emcpowera","/dev/emcpowerb"],"warnings":[]})"},
        {empty, R"({"schemaVersion":2,"command":"paths","plugin":"/p.so","ok":true,"exitStatus":0,)"
                R"("device":"/dev/emcpowerc","paths":[],"warnings":[]})"},
        {partial, R"({"schemaVersion":2,"command":"inventory","plugin":"/p.so","ok":false,"exitStatus":2,)"
                  R"("devices":[{"device":"/dev/emcpowera","mpio":true,"paths":null,"partitions":[],)"
                  R"("errors":[{"entryPoint":"getUnderlyingDevices","result":-2,"code":2,"text":"x","message":"failed"}]}],)"
                  R"("warnings":[]})"},
        {reportOf("refresh"),
         R"({"schemaVersion":2,"command":"refresh","plugin":"/p.so","ok":true,"exitStatus":0,"warnings":[]})"},
        {unloaded, R"({"schemaVersion":2,"command":null,"plugin":"/p.so","ok":false,"exitStatus":3,)"
                   R"("error":{"entryPoint":null,"result":null,"code":null,"text":null,)"
                   R"("message":"cannot load"},"warnings":[]})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        EXPECT_EQ(jsonOf(c.report), c.document + "\n");
    }
}

TEST(RenderJson, EscapesWhatJsonRequiresAndReplacesInvalidUtf8) {
    using namespace std::string_literals;
    const std::string fffd = "\xef\xbf\xbd";
    const struct {
        std::string input;
        std::string quoted;
        bool validUtf8; // then the document reads back as the input
    } cases[] = {
        {"/dev/emcpowera", "\"/dev/emcpowera\"", true},
        {"", "\"\"", true},
        {"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")", true},
        {"\n\t\r\b\f", R"("\n\t\r\b\f")", true},
        {"\x01\x1f"s, R"("\u0001\u001f")", true},
        {"a\0b"s, R"("a\u0000b")", true},
        {"%s %n", "\"%s %n\"", true},
        {"\x7f/", "\"\x7f/\"", true},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"",
         true},
        // Each byte that is not part of a valid UTF-8 sequence becomes U+FFFD.
        {"\xff", "\"" + fffd + "\"", false},
        {"x\xc3", "\"x" + fffd + "\"", false},                     // truncated sequence
        {"\xc0\xaf", "\"" + fffd + fffd + "\"", false},             // overlong form
        {"\xe0\x80\xaf", "\"" + fffd + fffd + fffd + "\"", false},   // overlong form
        {"\xed\xa0\x80", "\"" + fffd + fffd + fffd + "\"", false},   // surrogate
        {"\xf4\x90\x80\x80", "\"" + fffd + fffd + fffd + fffd + "\"", false}, // above U+10FFFF
        {"\x80z", "\"" + fffd + "z\"", false},                     // stray continuation byte
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        const std::string document = jsonOf(reportOf("is-mpio", c.input));
        EXPECT_NE(document.find(",\"path\":" + c.quoted + ","), std::string::npos) << document;
        const nlohmann::json back = nlohmann::json::parse(document);
        if (c.validUtf8) {
            EXPECT_EQ(back.at("path"), c.input);
        }
    }
}

} // namespace
} // namespace mpioctl
