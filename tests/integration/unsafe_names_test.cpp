// SPDX-License-Identifier: Apache-2.0
// Device names go into shell command lines unquoted, so a name that is not a
// plain device name must never reach the shell: most of the unsafe names of
// tests/support would create the file PWNED in the working directory if one did.
// deleteMPIODevice's refusal of each is a row of the reliability tests' name table.
#include <gtest/gtest.h>

#include "stub_machine.h"
#include "unsafe_names.h"

namespace integration {
namespace {

class UnsafeNames : public ::testing::Test {
protected:
    StubMachine machine;
};

TEST_F(UnsafeNames, KernelNamesAreCheckedTooBeforeTheDisplay) {
    // getUnderlyingDevices asks powermt about the name /proc/partitions gives
    // the node's device number, which is just as much outside the plug-in.
    ASSERT_TRUE(stubPseudoDevice());
    std::string table = "major minor  #blocks  name\n\n";
    std::vector<std::string> nodes;
    int minor = 16;
    for (const UnsafeName& name : unsafeKernelNames()) {
        table += " " + std::to_string(kStubMajor) + "  " + std::to_string(minor) + "  1048576 " + name.bare + "\n";
        nodes.push_back("/dev/hostile" + std::to_string(minor));
        privateDev.blockNode(nodes.back(), kStubMajor, minor);
        minor += 16;
    }
    ASSERT_TRUE(showProcPartitions(table));
    for (const std::string& node : nodes) {
        SCOPED_TRACE(node);
        PathArray paths(1);
        int count = 1;
        ErrorOut out;
        EXPECT_EQ(getUnderlyingDevices(nullptr, node.c_str(), paths.data(), &count, &out.err, out.errbuf()), -1);
        EXPECT_EQ(out.err, -1);
        EXPECT_EQ(count, 1);
        EXPECT_TRUE(holds(paths, {}));
        EXPECT_EQ(machine.calls(), std::vector<std::string>{});
        EXPECT_EQ(machine.workFiles(), std::vector<std::string>{});
    }
}

TEST_F(UnsafeNames, PlainNamesReachPowermtWithTheirExactArguments) {
    const std::vector<std::string> expected = {"remove force dev=emcpowera", "release", "save"};
    for (const char* name : {"emcpowera", "/dev/emcpowera", "emcpowera\n"}) {
        SCOPED_TRACE(name);
        machine.clearCalls();
        ErrorOut out;
        EXPECT_EQ(deleteMPIODevice(nullptr, name, &out.err, out.errbuf()), 0);
        EXPECT_TRUE(out.untouched());
        EXPECT_EQ(machine.calls(), expected);
    }

    ASSERT_TRUE(stubPseudoDevice());
    machine.clearCalls();
    machine.powermt("echo '   0 qla2xxx   sdb   FA  7eA   active  alive   0  0'");
    PathArray paths(1);
    int count = 1;
    ErrorOut out;
    EXPECT_EQ(getUnderlyingDevices(nullptr, "/dev/emcpowera", paths.data(), &count, &out.err, out.errbuf()), 0);
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(holds(paths, {"/dev/sdb"}));
    EXPECT_EQ(machine.calls(), std::vector<std::string>{"display dev=emcpowera"});
}

} // namespace
} // namespace integration
