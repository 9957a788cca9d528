// SPDX-License-Identifier: Apache-2.0
// Publishing a machine: the files of its state directory and the nodes in
// its /dev, brought to a new state or a new topology.
#ifndef SIM_MACHINE_PUBLISH_H
#define SIM_MACHINE_PUBLISH_H

#include "machine/state_dir.h"
#include "machine/state_file.h"
#include "machine/topology.h"

#include <string>
#include <vector>

namespace sim {

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

} // namespace sim

#endif
