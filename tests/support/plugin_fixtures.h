// SPDX-License-Identifier: Apache-2.0
// Fixtures of the plug-in's unit and reliability tests: a fresh fake host,
// and a private /dev with the nodes a test plants.
#ifndef TESTS_SUPPORT_PLUGIN_FIXTURES_H
#define TESTS_SUPPORT_PLUGIN_FIXTURES_H

#include <gtest/gtest.h>

#include <vector>

#include "TmMPIO_EMCPowerPath.h"
#include "caller_kit.h"
#include "dev_fixture.h"
#include "fake_host.h"
#include "short_names.h"

// Every test starts with a fresh fake host.
class FakeHostTest : public ::testing::Test {
protected:
    void SetUp() override { fakehost::reset(); }
};

// A fresh fake host and an empty private /dev for every test, with the
// admin major number set as init would set it; then the fixture's plant()
// runs, unless the test was skipped for want of a private /dev.
class DeviceNodeTest : public DevNodeTest {
protected:
    void SetUp() override;
    // What the fixture puts in /dev and scripts on the fake host.
    virtual void plant() {}
};

// The pseudo device /dev/emcpowerc (admin major, 32), its partition
// /dev/emcpowerc1 (33) and the path /dev/sdb (8, 16).
void plantPseudoDeviceC();

// Three partitions, as the fake host's partition reader gives them for
// /dev/emcpowerc in the reliability tests.
std::vector<slice> threePartitions();

#endif
