// SPDX-License-Identifier: Apache-2.0
// The device nodes of a running machine under its dev root (normally
// /dev), kept in step with the topology and the configured devices.
#ifndef SIM_MACHINE_NODE_SYNC_H
#define SIM_MACHINE_NODE_SYNC_H

#include "machine/topology.h"

#include <string>
#include <vector>

namespace sim {

// Device nodes under `devRoot` for the topology: nodes of every sd path and
// its partitions, and of every configured pseudo device with its partitions
// and /dev/disk/by-id links; the nodes and links of devices that are not
// configured are removed. Idempotent.
void syncNodes(const std::string& devRoot, const Topology& topology, const NameSet& configured);

// Removes every node and link of the devices in `dropped` (pseudo devices
// of `adminMajor`), their sd paths' included.
void removeNodes(const std::string& devRoot, const std::vector<Device>& dropped, int adminMajor);

} // namespace sim

#endif
