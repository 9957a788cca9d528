// SPDX-License-Identifier: Apache-2.0
// What the simulated machine shows: powermt's display blocks, the kernel's
// /proc/partitions and /proc/devices, and the saved configuration.
#ifndef SIM_MACHINE_RENDER_H
#define SIM_MACHINE_RENDER_H

#include "machine/topology.h"

#include <string>

namespace sim {

// The block `powermt display dev=NAME` prints for one device, ending in the
// blank line that separates it from the next one.
std::string displayBlock(const Device& device);

// Blocks of every configured device, in index order.
std::string displayAll(const Topology& topology, const NameSet& configured);

// /proc/partitions: every sd path with its partitions, then every configured
// pseudo device with its partitions.
std::string procPartitions(const Topology& topology, const NameSet& configured);

// /proc/devices, with the admin major on the power2 line.
std::string procDevices(const Topology& topology);

// The text `powermt save` writes.
std::string savedConfiguration(const Topology& topology, const NameSet& configured);

} // namespace sim

#endif
