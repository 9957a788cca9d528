// SPDX-License-Identifier: Apache-2.0
// The state file of a simulated machine: what changes while it runs, beside
// the topology it was started with. Which devices are configured, the
// resolved layouts of the disk images, path events, faults of powermt's
// sub-commands and departed devices, one line each.
#ifndef SIM_MACHINE_STATE_FILE_H
#define SIM_MACHINE_STATE_FILE_H

#include "machine/topology.h"

#include <map>
#include <string>
#include <vector>

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
    int status = 1;       // Fail: 1..255
    std::string message;  // Fail: one line, may be empty
    unsigned seconds = 0; // Hang
};

inline constexpr unsigned kMaxHangSeconds = 3600;

struct SimState {
    std::string devRoot = "/dev";
    NameSet configured;
    std::map<std::string, DiskLayout> disks;     // disk-backed devices
    std::map<std::string, PathEvent> pathEvents; // by sd name
    std::map<std::string, Fault> faults;         // by sub-command
    NameSet departed;                            // configured devices that left the fabric; dropped at the next config
};

std::string formatState(const SimState& state);
// Reads what formatState wrote, through the topology's lexer (plain words:
// a fault's message is the rest of its line as it stands). Throws
// std::runtime_error naming the line for a malformed state text.
SimState parseState(const std::string& text);

} // namespace sim

#endif
