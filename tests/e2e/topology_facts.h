// SPDX-License-Identifier: Apache-2.0
// What a topology file says about the simulated machine, read independently
// of the simulator's own parser so that the end-to-end tests derive their
// expected answers from the file itself: the pseudo devices, which are
// configured, their sd paths with mode and state, their partition numbers,
// their by-id names and the injected powermt failures.
#ifndef TESTS_E2E_TOPOLOGY_FACTS_H
#define TESTS_E2E_TOPOLOGY_FACTS_H

#include <optional>
#include <string>
#include <vector>

namespace e2e {

struct PathFacts {
    std::string sd;    // sdb
    std::string mode;  // active, standby or unlic
    std::string state; // alive or dead
};

struct DeviceFacts {
    std::string name; // emcpowera
    long index = 0;   // emcpowera 0, emcpoweraa 26 (bijective base 26)
    bool configured = true;
    bool diskBacked = false;
    std::string ldev;
    std::vector<PathFacts> paths;
    std::vector<int> partitions; // partition numbers, in the order given

    std::string node() const { return "/dev/" + name; }
    std::string byId() const { return "/dev/disk/by-id/scsi-3" + ldev; }
    // The /dev/ paths of the paths that powermt shows as active (alive or dead).
    std::vector<std::string> activePaths() const;
};

struct FailureFacts {
    std::string command; // display, config, remove, release or save
    int status = 0;
    std::string message; // printed on standard error with a newline, when not empty
};

struct TopologyFacts {
    std::vector<DeviceFacts> devices; // in index order
    std::vector<FailureFacts> failures;

    std::vector<const DeviceFacts*> configured() const { return devicesWhere(&DeviceFacts::configured); }
    std::vector<const DeviceFacts*> diskBacked() const { return devicesWhere(&DeviceFacts::diskBacked); }
    std::vector<const DeviceFacts*> devicesWhere(bool DeviceFacts::*flag) const;
    const DeviceFacts& device(const std::string& name) const; // throws when absent
    std::optional<FailureFacts> failureOf(const std::string& command) const;
};

// Throws std::runtime_error naming the file and line on anything it does not
// understand.
TopologyFacts readTopology(const std::string& file);

// The /dev/ nodes of the devices, in their order.
std::vector<std::string> nodesOf(const std::vector<const DeviceFacts*>& devices);

// The pseudo-device index that a name's letters stand for; -1 when the name
// is not emcpower followed by lower-case letters.
long pseudoIndex(const std::string& name);

} // namespace e2e

#endif // TESTS_E2E_TOPOLOGY_FACTS_H
