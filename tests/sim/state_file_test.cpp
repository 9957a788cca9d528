// SPDX-License-Identifier: Apache-2.0
// The state file: what powermt and the sandbox write reads back the same, a
// fault's message stays as it was given, and a broken file is refused
// naming the line.
#include "machine/state_file.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

const char* const kState = "dev-root /tmp/x/dev\n"
                           "configured emcpowera\n"
                           "configured emcpowerab\n"
                           "disk emcpowerb 65536 1:16384 2:1 5:8192\n"
                           "path sdc standby dead\n"
                           "fault config garbage\n"
                           "fault display hang 5\n"
                           "fault save fail 3 say \"no  # not a comment\\\n"
                           "departed emcpowerab\n";

TEST(StateFile, ReadsBackWhatItWrites) {
    const sim::SimState state = sim::parseState(kState);
    EXPECT_EQ(state.devRoot, "/tmp/x/dev");
    EXPECT_EQ(state.configured, (sim::NameSet{"emcpowera", "emcpowerab"}));
    ASSERT_EQ(state.disks.at("emcpowerb").partitions.size(), 3U);
    EXPECT_EQ(state.disks.at("emcpowerb").partitions[2].kib, 8192U);
    EXPECT_EQ(state.pathEvents.at("sdc").mode, sim::PathMode::Standby);
    EXPECT_EQ(state.faults.at("save").message, "say \"no  # not a comment\\");
    EXPECT_EQ(state.faults.at("display").seconds, 5U);
    EXPECT_EQ(sim::formatState(state), kState);
}

TEST(StateFile, TabsAndBlankLinesSeparateAsBlanksDo) {
    const sim::SimState state = sim::parseState("\n  dev-root\t/dev  \n\nconfigured\temcpowerc\n");
    EXPECT_EQ(state.devRoot, "/dev");
    EXPECT_EQ(state.configured, (sim::NameSet{"emcpowerc"}));
}

TEST(StateFile, RefusesABrokenFileNamingTheLine) {
    const std::string root = "dev-root /dev\n";
    const std::pair<std::string, std::string> cases[] = {
        {"configured emcpowera\n", "state file has no dev-root line"},
        {"dev-root dev\n", "state file line 1: unexpected 'dev-root dev'"},
        {root + "configured sda\n", "state file line 2: unexpected 'configured sda'"},
        {root + "\ndisk emcpowera 1x\n", "state file line 3: bad number '1x'"},
        {root + "disk emcpowera 8 1-2\n", "state file line 2: bad partition '1-2'"},
        {root + "disk emcpowera 8 16:1\n", "state file line 2: bad partition number in '16:1'"},
        {root + "disk emcpowera 8 1:\n", "state file line 2: bad number ''"},
        {root + "path sdb active gone\n", "state file line 2: bad path event 'path sdb active gone'"},
        {root + "fault save fail 256 x\n", "state file line 2: bad fault 'fault save fail 256 x'"},
        {root + "fault dance garbage\n", "state file line 2: bad fault 'fault dance garbage'"},
        {root + "fault display hang 3601\n", "state file line 2: bad fault 'fault display hang 3601'"},
        {root + "# a comment\n", "state file line 2: unexpected '# a comment'"},
        {root + "departed emcpowera extra\n", "state file line 2: unexpected 'departed emcpowera extra'"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        try {
            sim::parseState(text);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
}

} // namespace
