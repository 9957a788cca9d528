// SPDX-License-Identifier: Apache-2.0
// The plug-in over the real process runner, with a powermt of the test's own
// making: a small shell script, first on PATH, that logs its arguments and
// then does what the test wrote. The program runs in a private mount
// namespace with its own /dev (entered by the tests' main), where a test can
// also show its own /proc/partitions, so that getUnderlyingDevices finds a
// pseudo device without a real one on the machine.
#ifndef TESTS_INTEGRATION_STUB_MACHINE_H
#define TESTS_INTEGRATION_STUB_MACHINE_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "TmMPIO_EMCPowerPath.h"
#include "gtest_layer.h"
#include "processes.h"
#include "temp_dir.h"

namespace integration {

using namespace mpiotest;

// A temporary directory with bin/powermt, the log of its calls and a working
// directory that becomes the current one; PATH is bin:/usr/bin:/bin; the
// private /dev gets its null. All but the node is undone on destruction.
class StubMachine {
public:
    StubMachine();
    ~StubMachine();
    StubMachine(const StubMachine&) = delete;
    StubMachine& operator=(const StubMachine&) = delete;

    // The stub's script after the line that logs "$*".
    void powermt(const std::string& body);
    // powermt(body), or no powermt at all when body is empty.
    void powermtOrNone(const std::string& body);

    std::vector<std::string> calls() const; // one line per run: its arguments
    void clearCalls();
    std::vector<std::string> workFiles() const; // what lies in the working directory
    const std::string& dir() const { return dir_.path(); }

private:
    TempDir dir_;
    std::string oldPath_;
    std::string oldCwd_;
};

// Shows text as /proc/partitions to this process and its children (a bind
// mount inside the test's mount namespace). False, with the reason, when the
// namespace is not there.
::testing::AssertionResult showProcPartitions(const std::string& text);

// A pseudo device node /dev/emcpowera (120, 0), listed as emcpowera in the
// shown /proc/partitions.
constexpr int kStubMajor = 120;
::testing::AssertionResult stubPseudoDevice();

} // namespace integration

#endif // TESTS_INTEGRATION_STUB_MACHINE_H
