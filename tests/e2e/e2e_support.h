// SPDX-License-Identifier: Apache-2.0
// What the in-sandbox end-to-end tests share: the plug-in loaded with dlopen
// as a host loads it, caller buffers that show what an entry point wrote,
// and readings of the sandbox (stat, /proc, sfdisk).
#ifndef TESTS_E2E_E2E_SUPPORT_H
#define TESTS_E2E_E2E_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TmMPIO_EMCPowerPath.h"
#include "gtest_layer.h"
#include "mpio/loader.h"
#include "text.h"
#include "topology_facts.h"

namespace e2e {

// The caller's buffers (holds checks them), text utilities, temporary directories.
using namespace mpiotest;

// The nine entry points and _VendorName of the built library, found by name.
using Api = mpio::loader::EntryPoints;

// Loaded once; throws when the library or one of its symbols is missing.
const Api& api();

// The topology the sandbox was started with (the program's argument).
void setTopologyFile(const std::string& path);
const TopologyFacts& topology();
const std::string& topologyFile();

// Calls init once for the tests that need the admin major number.
::testing::AssertionResult initialised();

// What a call that fills a caller's path array left: its result and count,
// the paths written, and what was wrong (empty: nothing): buffers written out
// of order or past the array, err or errbuf set, or on success a count other
// than the paths written.
struct Listing {
    int result;
    int count;
    std::vector<std::string> paths;
    std::string fault;
};
// getMPIODevices and getUnderlyingDevices with `capacity` fresh buffers.
Listing listDevices(int capacity);
Listing underlyingDevices(const std::string& device, int capacity = 8);

// One partition of a table as sfdisk --dump prints it.
struct TableEntry {
    int number;
    long long start;
    long long size;
};
std::vector<TableEntry> sfdiskTable(const std::string& device);

// (major, minor) of the node a path leads to; {-1, -1} when stat fails.
std::pair<int, int> deviceNumbers(const std::string& path);

// The major number that /proc/devices gives the power2 block class; -1 when none.
int adminMajorFromProcDevices();

} // namespace e2e

#endif // TESTS_E2E_E2E_SUPPORT_H
