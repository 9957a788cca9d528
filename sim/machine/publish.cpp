// SPDX-License-Identifier: Apache-2.0
#include "machine/publish.h"

#include "machine/checked_files.h"
#include "machine/node_sync.h"
#include "machine/render.h"

namespace sim {

void writeInitialState(const StateDir& dir, const std::string& topologyText, const Topology& topology,
                       const SimState& state) {
    writeNewFile(dir.topology(), topologyText);
    writeFileAtomic(dir.state(), formatState(state));
    writeNewFile(dir.partitions(), procPartitions(topology, state.configured));
    writeNewFile(dir.devices(), procDevices(topology));
}

void publishState(const StateDir& dir, const Topology& topology, const SimState& state) {
    writeFileAtomic(dir.state(), formatState(state));
    rewriteInPlace(dir.partitions(), procPartitions(topology, state.configured));
    syncNodes(state.devRoot, topology, state.configured);
}

void publishFabric(const StateDir& dir, const std::string& topologyText, const Topology& topology,
                   const SimState& state, const std::vector<Device>& dropped) {
    writeFileAtomic(dir.state(), formatState(state));
    writeFileAtomic(dir.topology(), topologyText);
    rewriteInPlace(dir.partitions(), procPartitions(topology, state.configured));
    syncNodes(state.devRoot, topology, state.configured);
    if (!dropped.empty()) removeNodes(state.devRoot, dropped, topology.adminMajor);
}

} // namespace sim
