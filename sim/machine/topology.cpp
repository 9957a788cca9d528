// SPDX-License-Identifier: Apache-2.0
#include "machine/topology.h"

#include <algorithm>

namespace sim {

TopologyError::TopologyError(const std::string& source, int line, const std::string& message)
    : std::runtime_error(source + ":" + std::to_string(line) + ": " + message), line_(line) {}

bool Topology::diskBacked() const {
    return std::any_of(devices.begin(), devices.end(),
                       [](const Device& d) { return d.image.kind != DiskImage::Kind::None; });
}

const Device* Topology::find(std::string_view name) const {
    for (const auto& d : devices)
        if (d.name == name) return &d;
    return nullptr;
}

const Failure* Topology::failureFor(std::string_view command) const {
    for (const auto& f : failures)
        if (f.command == command) return &f;
    return nullptr;
}

std::string limitPassed(const MachineCost& cost) {
    if (cost.bytes > kMaxTopologyBytes)
        return "the topology is " + std::to_string(cost.bytes) + " bytes, more than the " +
               std::to_string(kMaxTopologyBytes) + " (32 MiB) a topology may have";
    if (cost.paths > kMaxTopologyPaths)
        return "the machine has " + std::to_string(cost.paths) + " paths, more than the " +
               std::to_string(kMaxTopologyPaths) + " a topology may have";
    if (cost.nodes > kMaxTopologyNodes)
        return "the machine makes " + std::to_string(cost.nodes) + " device nodes and links in /dev, more than the " +
               std::to_string(kMaxTopologyNodes) + " a topology may make";
    return {};
}

const char* arrayKindName(ArrayKind kind) {
    static const char* const names[] = {"Symmetrix", "CLARiiON", "VNX"};
    return names[static_cast<int>(kind)];
}

const char* pathModeName(PathMode mode) { return kPathModeWords[static_cast<int>(mode)]; }

const char* pathStateName(PathState state) { return kPathStateWords[static_cast<int>(state)]; }

bool isFailableCommand(std::string_view command) {
    return command == "display" || command == "config" || command == "remove" || command == "release" ||
           command == "save";
}

} // namespace sim
