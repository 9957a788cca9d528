// SPDX-License-Identifier: Apache-2.0
// The state of a simulated machine, kept in a state directory: the
// topology, which devices are configured, the resolved layouts of the disk
// images, and the files bound over /proc/partitions and /proc/devices.
#ifndef SIM_MACHINE_STATE_FILE_H
#define SIM_MACHINE_STATE_FILE_H

#include "machine/checked_files.h"
#include "machine/render.h"
#include "machine/topology.h"

#include <map>
#include <string>

namespace sim {

// The partition table of a disk image as /proc/partitions shows it.
struct DiskLayout {
    std::uint64_t kib = 0;
    std::vector<Partition> partitions;
};

// The mode and state a path was given while the machine runs.
struct PathEvent {
    PathMode mode = PathMode::Active;
    PathState state = PathState::Alive;
};

// What a powermt sub-command does instead of its work, set while the
// machine runs: fail with a status and message, sleep first, or print a
// fixed text that is no powermt output.
struct Fault {
    enum class Kind { Fail, Hang, Garbage };
    Kind kind = Kind::Fail;
    int status = 1;          // Fail: 1..255
    std::string message;     // Fail: one line, may be empty
    unsigned seconds = 0;    // Hang
};

inline constexpr unsigned kMaxHangSeconds = 3600;

struct SimState {
    std::string devRoot = "/dev";
    NameSet configured;
    std::map<std::string, DiskLayout> disks;    // disk-backed devices
    std::map<std::string, PathEvent> pathEvents; // by sd name
    std::map<std::string, Fault> faults;         // by sub-command
    NameSet departed; // configured devices that left the fabric; dropped at the next config
};

std::string formatState(const SimState& state);
// Throws std::runtime_error for a malformed state text.
SimState parseState(const std::string& text);

// Gives the disk-backed devices of `topology` their sizes and partitions.
void applyDisks(Topology& topology, const SimState& state);

// The environment variable that names the state directory to powermt.
inline constexpr const char* kStateEnv = "POWERMT_SIM_STATE";

// Names of the files in a state directory.
struct StateDir {
    std::string dir;
    std::string topology() const { return dir + "/topology"; }
    std::string state() const { return dir + "/state"; }
    std::string lock() const { return dir + "/lock"; }
    std::string lockGate() const { return dir + "/lock-gate"; }
    std::string partitions() const { return dir + "/proc-partitions"; }
    std::string devices() const { return dir + "/proc-devices"; }
    std::string custom() const { return dir + "/powermt.custom"; }
    std::string bin() const { return dir + "/bin"; }
    std::string displayCache() const { return dir + "/display-cache"; }
};

// The lock of a state directory: shared for reading, exclusive for a
// change (FairLock). Its count of writers tells any change made by powermt.
inline FairLock lockState(const StateDir& dir, FairLock::Mode mode) {
    return FairLock(dir.lock(), dir.lockGate(), mode);
}

// What powermt's answers derive from: the topology and state files as they
// are, and the count of the writers that took the lock. No change made by
// powermt keeps the count, and no other write keeps a file's identity
// (the change time, which no user can set, moves), so no change keeps the
// stamp, however the file is written.
struct SourceStamp {
    std::uint64_t writers = 0;
    FileIdentity topology;
    FileIdentity state;
    bool operator==(const SourceStamp&) const = default;
};

// Loads the topology and the state of a state directory (the caller holds
// the lock). The topology shows the path events, and the paths of departed
// devices as dead. `stamp` has the identities of the files as they were
// read (its writers are the caller's to fill); `settled` tells whether any
// later write to them is sure to change their identities, which is not so
// within the clock tick of their last change.
struct Loaded {
    std::string topologyText;
    Topology topology;
    SimState state;
    SourceStamp stamp;
    bool settled = false;
};
Loaded loadState(const StateDir& dir);

// Fills a new state directory: the topology text, the state, and the files
// for /proc/partitions and /proc/devices. Device nodes are not made here.
void writeInitialState(const StateDir& dir, const std::string& topologyText, const Topology& topology,
                       const SimState& state);

// Writes the fabric's new topology text: the state first (atomically), so
// that the state never names a device the topology lacks, then the topology
// (atomically), /proc/partitions in place and the device nodes; the nodes
// of the devices in `dropped` go.
void publishFabric(const StateDir& dir, const std::string& topologyText, const Topology& topology,
                   const SimState& state, const std::vector<Device>& dropped);

// Saves the state and makes the machine show it: the state file atomically,
// /proc/partitions in place, and the device nodes under the dev root.
void publishState(const StateDir& dir, const Topology& topology, const SimState& state);

// Device nodes under `devRoot` (normally /dev) for the topology: nodes of
// every sd path and its partitions, and of every configured pseudo device
// with its partitions and /dev/disk/by-id links; the nodes and links of
// devices that are not configured are removed. Idempotent.
void syncNodes(const std::string& devRoot, const Topology& topology, const NameSet& configured);

} // namespace sim

#endif
