// SPDX-License-Identifier: Apache-2.0
#include "plugin.h"

#include <filesystem>

namespace mpioctl {

PluginChoice choosePlugin(const PluginLookup& lookup) {
    if (lookup.given) return {*lookup.given, false};
    if (lookup.environment && !lookup.environment->empty()) return {*lookup.environment, false};
    if (lookup.executable.empty()) return {lookup.defaults.whenProgramUnknown, true};
    const std::filesystem::path programDir = std::filesystem::path(lookup.executable).parent_path();
    return {(programDir / lookup.defaults.fromProgramDir).lexically_normal().string(), true};
}

} // namespace mpioctl
