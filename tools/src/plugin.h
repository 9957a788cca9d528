// The plug-in mpioctl drives: loaded by the project's loader, chosen here.
#ifndef MPIOCTL_PLUGIN_H
#define MPIOCTL_PLUGIN_H

#include <optional>
#include <string>

#include "mpio/loader.h"

namespace mpioctl {

using mpio::loader::EntryPoints;
using mpio::loader::LoadResult;
using mpio::loader::loadPlugin;

// The plug-in to load: the one given with --plugin, else the one in ../lib
// beside the executable when it exists, else the fallback (the build tree's).
std::string choosePluginPath(const std::optional<std::string>& given,
                             const std::string& executable, const std::string& fallback);

} // namespace mpioctl

#endif // MPIOCTL_PLUGIN_H
