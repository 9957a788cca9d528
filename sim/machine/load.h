// SPDX-License-Identifier: Apache-2.0
// Loading a running machine from its state directory: the topology as the
// state shows it, with the stamp of the files it was read from.
#ifndef SIM_MACHINE_LOAD_H
#define SIM_MACHINE_LOAD_H

#include "machine/file_identity.h"
#include "machine/state_dir.h"
#include "machine/state_file.h"
#include "machine/topology.h"

#include <string>

namespace sim {

// Loads the topology and the state of a state directory (the caller holds
// the lock). The topology shows the path events, and the paths of departed
// devices as dead. `topologyFile` and `stateFile` are the identities of the
// files as they were read; `settled` tells whether any later write to them
// is sure to change their identities, which is not so within the clock tick
// of their last change.
struct Loaded {
    std::string topologyText;
    Topology topology;
    SimState state;
    FileIdentity topologyFile;
    FileIdentity stateFile;
    bool settled = false;
};
Loaded loadState(const StateDir& dir);

// Gives the disk-backed devices of `topology` their sizes and partitions.
void applyDisks(Topology& topology, const SimState& state);

} // namespace sim

#endif
