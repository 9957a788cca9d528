// SPDX-License-Identifier: Apache-2.0
// What the fuzz targets share: a private /dev with a few nodes, a reader of
// the fuzzer's bytes, and the invariant check that stops the run when it
// fails (libFuzzer then keeps the input as a crash).
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TmMPIO_EMCPowerPath.h"
#include "caller_kit.h"
#include "command_audit.h"
#include "pinned_commands.h"
#include "private_dev.h" // kAdminMajor (120)

namespace fuzzsupport {

// The tests' caller kit, command lines, audit and private /dev.
using namespace mpiotest;

[[noreturn]] void fail(const char* condition, const char* file, int line, const std::string& detail);

#define FUZZ_CHECK(condition, detail)                                                  \
    do {                                                                               \
        if (!(condition)) ::fuzzsupport::fail(#condition, __FILE__, __LINE__, (detail)); \
    } while (0)

// True when the private /dev is in place with these nodes (kAdminMajor is 120):
//   /dev/emcpowera (120, 0)    /dev/emcpowerc (120, 32)   /dev/emcpowerc1 (120, 33)
//   /dev/emcpowerc2 (120, 34)  /dev/emcpowerd1 (120, 49), whose parent is missing
//   /dev/emcpowerb (121, 16)   /dev/emcpowerb1 (121, 17)
//   /dev/sdb (8, 16)           /dev/sdc (8, 32)           /dev/null-ish char node (1, 3)
//   /dev/disk/by-id/wwn-1 -> ../../emcpowerc, /dev/file (regular), /dev/dir (directory)
bool nodesAvailable();
// Every path above (empty without the private /dev).
const std::vector<std::string>& nodePaths();

// Reads the fuzzer's bytes front to back; past the end it yields zeros and
// empty strings.
class Input {
public:
    Input(const uint8_t* data, std::size_t size) : data_{data}, size_{size} {}
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    int8_t signedByte() { return static_cast<int8_t>(byte()); }
    std::string take(std::size_t n);
    std::string upToNul(); // consumes the NUL too
    std::string rest() { return take(size_ - at_); }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A process-runner status: mostly 0, otherwise one of a few failure codes,
// the extremes of int among them.
int statusFrom(uint8_t selector);

// The result an entry point gives for a failed command with this status.
int failureResult(int status);

// A failed command's error text: a length byte, then that many bytes; past a
// length of 250 it grows longer than the caller's error buffer.
std::string errorText(Input& in);

// How many of n lines fit the caller's capacity (none for a negative one).
std::size_t fitting(std::size_t n, int capacity);

// The first `stored` slots hold "/dev/" + the name, the others are untouched.
void checkStoredPaths(const PathArray& slots, const std::vector<std::string>& names, std::size_t stored);

// atoi of the text, saturated at the int range.
int leadingInt(const std::string& text);

// The command lines the fake host saw carry no unsafe name.
void checkCommands();

} // namespace fuzzsupport

#endif
