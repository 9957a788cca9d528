// Shared helpers of the plug-in's unit tests.
#ifndef TESTS_PLUGIN_TEST_UTIL_H
#define TESTS_PLUGIN_TEST_UTIL_H

#include <gtest/gtest.h>

#include "TmMPIO_EMCPowerPath.h"
#include "caller_kit.h"
#include "dev_fixture.h"
#include "fake_host.h"
#include "pinned_commands.h"

// The caller's buffers and the command lines of the plug-in, by their short names.
using kit::ErrorOut;
using kit::PathArray;
using kit::RecordArray;
using pinned::kDiscovery;
using pinned::kPartitionListing;
using pinned::kPseudoListing;
using pinned::pathQuery;

// Every test starts with a fresh fake host.
class FakeHostTest : public ::testing::Test {
protected:
    void SetUp() override { fakehost::reset(); }
};

// A fresh fake host and an empty private /dev for every test, with the
// admin major number set as init would set it.
class DeviceNodeTest : public DevNodeTest {
protected:
    void SetUp() override;
};

#endif
