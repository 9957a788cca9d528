// SPDX-License-Identifier: Apache-2.0
#include "plugin.h"

#include <filesystem>
#include <system_error>

namespace mpioctl {

namespace {

bool sameDirectory(const std::filesystem::path& a, const std::string& b) {
    std::error_code error;
    return !b.empty() && std::filesystem::equivalent(a, b, error) && !error;
}

} // namespace

std::string choosePluginPath(const PluginLookup& lookup) {
    if (lookup.given) return *lookup.given;
    if (lookup.environment && !lookup.environment->empty()) return *lookup.environment;
    if (lookup.executable.empty()) return kPluginFileName;
    const std::filesystem::path programDir = std::filesystem::path(lookup.executable).parent_path();
    if (sameDirectory(programDir, lookup.buildBinDir)) return lookup.builtPlugin;
    return (programDir / lookup.pluginDirFromProgram / kPluginFileName).lexically_normal().string();
}

} // namespace mpioctl
