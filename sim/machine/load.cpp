// SPDX-License-Identifier: Apache-2.0
#include "machine/load.h"

#include "machine/checked_files.h"

#include <sys/stat.h>
#include <time.h>

#include <stdexcept>
#include <string_view>
#include <unordered_set>

namespace sim {
namespace {

// Gives the paths their run-time modes and states, and the paths of the
// departed devices the state dead. Throws when the state names a path or
// device the topology lacks.
void applyEvents(Topology& topology, const SimState& state) {
    std::size_t pathsFound = 0;
    std::size_t departedFound = 0;
    for (auto& d : topology.devices) {
        const bool departed = state.departed.count(d.name) != 0;
        departedFound += departed;
        for (auto& p : d.paths) {
            const auto it = state.pathEvents.find(p.sd);
            if (it != state.pathEvents.end()) {
                ++pathsFound;
                p.mode = it->second.mode;
                p.state = it->second.state;
            }
            if (departed) p.state = PathState::Dead;
        }
    }
    if (pathsFound != state.pathEvents.size()) throw std::runtime_error("state names a path the topology lacks");
    if (departedFound != state.departed.size())
        throw std::runtime_error("state names a departed device the topology lacks");
}

} // namespace

void applyDisks(Topology& topology, const SimState& state) {
    for (auto& d : topology.devices) {
        if (d.image.kind == DiskImage::Kind::None) continue;
        const auto it = state.disks.find(d.name);
        if (it == state.disks.end()) throw std::runtime_error("state has no disk layout for " + d.name);
        d.kib = it->second.kib;
        d.partitions = it->second.partitions;
    }
}

Loaded loadState(const StateDir& dir) {
    // The clock first: a write after it gets a change time of this tick or later.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    struct stat topologySeen {
    }, stateSeen{};
    std::string text = readFile(dir.topology(), kMaxTopologyBytes, &topologySeen);
    const std::string stateText = readFile(dir.state(), kMaxTextFile, &stateSeen);
    Topology topology = parseTopology(text, dir.topology());
    const FileIdentity topologyFile = identityOf(topologySeen), stateFile = identityOf(stateSeen);
    const bool settled = changedBefore(topologyFile, now) && changedBefore(stateFile, now);
    Loaded loaded{std::move(text), std::move(topology), parseState(stateText), topologyFile, stateFile, settled};
    std::unordered_set<std::string_view> names(loaded.topology.devices.size());
    for (const auto& d : loaded.topology.devices) names.insert(d.name);
    for (const auto& name : loaded.state.configured)
        if (!names.count(name)) throw std::runtime_error("state names " + name + ", which the topology lacks");
    applyDisks(loaded.topology, loaded.state);
    applyEvents(loaded.topology, loaded.state);
    return loaded;
}

} // namespace sim
