// SPDX-License-Identifier: Apache-2.0
// Capacity negotiation with the entry points that fill caller-owned arrays:
// offer a small array, and when the plug-in answers that it needs more, call
// again with the size that it asks for, a bounded number of times.
#ifndef MPIOCTL_NEGOTIATE_H
#define MPIOCTL_NEGOTIATE_H

#include <functional>
#include <string>
#include <vector>

#include "TmMPIO_EMCPowerPath.h"

namespace mpioctl {

// What one call left in its error code and error buffer, which were cleared
// (0 and all NUL bytes) before it. The plug-in never writes 0 as an error
// code, so a non-zero code means that it wrote one.
struct CallReport {
    int result = 0;
    int code = 0;
    std::string text;
    bool codeWritten() const { return code != 0; }
    bool errorWritten() const { return code != 0 || !text.empty(); }
};

// Reads the error text out of a MAXMPIOERRORLEN-byte buffer, never past its end.
std::string errorText(const char* errbuf);

// Largest array offered by default: far more devices or partitions than any
// machine has (1 GiB of path buffers), and still within a modest machine's
// memory. Memory that cannot be had for a smaller array is reported as such.
inline constexpr int kMaxEntries = 1 << 20;

struct Limits {
    int initialCapacity = 4;       // elements offered by the first call
    int maxCalls = 8;              // calls before giving up on an answer that keeps growing
    int maxCapacity = kMaxEntries; // largest array offered
};

enum class Outcome {
    Complete,     // the last call succeeded with everything it had in the array
    Failed,       // the plug-in reported a failure (negative result)
    Inconsistent, // the answer breaks the entry point's conventions
    TooLarge,     // the plug-in asked for more than Limits::maxCapacity
    Unsettled,    // the plug-in still asked for more after Limits::maxCalls calls
    OutOfMemory,  // the array that the plug-in asked for could not be allocated
};

// One call of getMPIODevices or getUnderlyingDevices with everything but the
// path array, the count and the error out-parameters bound.
using PathListCall = std::function<int(char** buffers, int* count, int* err, char* errbuf)>;

struct PathListResult {
    Outcome outcome = Outcome::Failed;
    std::vector<std::string> paths; // Complete: the paths, in the plug-in's order
    CallReport last;                // the last call's result and error out-parameters
    int lastCount = 0;              // the count that the last call left
    std::vector<int> offered;       // capacity offered by each call, in order
    std::string problem;            // why it did not complete; empty for Complete
};

// Path lists: result 0 is complete, a negative result a failure, and a
// positive result N asks for N buffers (more than were offered).
PathListResult negotiatePathList(const PathListCall& call, const Limits& limits = {});

// One call of getPartitionDevices with everything but the record array, the
// count and the error out-parameters bound.
using PartitionCall = std::function<int(TmPartInfo* parts, int* count, int* err, char* errbuf)>;

struct PartitionResult {
    Outcome outcome = Outcome::Failed;
    std::vector<TmPartInfo> partitions; // Complete: the records, in the plug-in's order
    CallReport last;
    int lastCount = 0;
    std::vector<int> offered;
    std::string problem;
};

// Partitions: a negative result is a failure; otherwise the count that comes
// back is the number of partitions, and when it exceeds the capacity offered
// the array was too small.
PartitionResult negotiatePartitions(const PartitionCall& call, const Limits& limits = {});

} // namespace mpioctl

#endif // MPIOCTL_NEGOTIATE_H
