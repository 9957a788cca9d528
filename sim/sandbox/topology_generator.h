// SPDX-License-Identifier: Apache-2.0
// Generated topologies: a machine of any size described by a few numbers
// (devices, paths, partitions, array mix, shares of dead and standby paths,
// seed), written in the topology format. The same description always gives
// the same bytes, on any platform: the random draws come from a PRNG of our
// own, and every value derives from its output with integer arithmetic.
#ifndef SIM_SANDBOX_TOPOLOGY_GENERATOR_H
#define SIM_SANDBOX_TOPOLOGY_GENERATOR_H

#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

struct MachineDescription {
    unsigned long devices = 0; // required
    unsigned paths = 2;        // per device, 1..16
    unsigned partitions = 0;   // per device, 0..15
    // Number of arrays of each kind; a device lies on one of them, drawn
    // uniformly from all of them.
    unsigned symmetrix = 1, clariion = 0, vnx = 0;
    // Shares of paths drawn dead and standby, in millionths (0..1,000,000).
    std::uint32_t deadPpm = 0;
    std::uint32_t standbyPpm = 0;
    std::uint64_t seed = 1;
    std::uint64_t deviceKib = 1024 * 1024; // size=, 1 GiB by default
};

// Parses "devices=N,paths=P,partitions=K,arrays=symmetrix:2+clariion:1+vnx:1,
// dead=0.05,standby=0.1,seed=7,size=1G" (every key but devices optional, in
// any order). Throws std::invalid_argument with a message that names the
// fault and the accepted range.
MachineDescription parseMachineDescription(std::string_view text);

// The topology text of the machine `machine` describes: admin major 120,
// emcpowera onwards, the paths of device i on the disks i*P to i*P+P-1.
std::string generateTopology(const MachineDescription& machine);

} // namespace sim

#endif
