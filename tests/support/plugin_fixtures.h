// SPDX-License-Identifier: Apache-2.0
// Fixtures of the plug-in's unit and reliability tests: a fresh fake host,
// and a private /dev with the nodes a test plants. The programs that include
// this link the plug-in's objects and the fake host; their main enters the
// private /dev.
#ifndef TESTS_SUPPORT_PLUGIN_FIXTURES_H
#define TESTS_SUPPORT_PLUGIN_FIXTURES_H

#include <vector>

#include "TmMPIO_EMCPowerPath.h"
#include "caller_kit.h"
#include "fake_host.h"
#include "gtest_layer.h"
#include "pinned_commands.h"
#include "plugin/plugin_internal.h"
#include "private_dev.h"

MPIOTEST_PROGRAM_USES_PRIVATE_DEV();

namespace mpiotest {

// Every test starts with a fresh fake host.
class FakeHostTest : public ::testing::Test {
protected:
    void SetUp() override { fakeHost.reset(); }
};

// A fresh fake host and an empty private /dev for every test, with the
// admin major number set as init would set it; then the fixture's plant()
// runs. Without a private /dev the test skips.
class DeviceNodeTest : public FakeHostTest {
protected:
    void SetUp() override {
        FakeHostTest::SetUp();
        tmmpio::admin_major = kAdminMajor;
        REQUIRE_PRIVATE_DEV();
        privateDev.clear();
        plant();
    }
    // What the fixture puts in /dev and scripts on the fake host.
    virtual void plant() {}
};

// The pseudo device /dev/emcpowerc (admin major, 32), its partition
// /dev/emcpowerc1 (33) and the path /dev/sdb (8, 16).
inline void plantPseudoDeviceC() {
    privateDev.blockNode("/dev/emcpowerc", kAdminMajor, 32);
    privateDev.blockNode("/dev/emcpowerc1", kAdminMajor, 33);
    privateDev.blockNode("/dev/sdb", 8, 16);
}

// Three partitions, as the fake host's partition reader gives them for
// /dev/emcpowerc in the reliability tests.
inline std::vector<slice> threePartitions() {
    return {{2048, 4096, 0, 1, 0}, {6144, 8192, 0, 2, 0}, {14336, 1024, 0, 3, 0}};
}

} // namespace mpiotest

#endif // TESTS_SUPPORT_PLUGIN_FIXTURES_H
