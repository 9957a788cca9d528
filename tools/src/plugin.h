// SPDX-License-Identifier: Apache-2.0
// The plug-in mpioctl drives: loaded by the project's loader, chosen here.
#ifndef MPIOCTL_PLUGIN_H
#define MPIOCTL_PLUGIN_H

#include <optional>
#include <string>

#include "mpio/loader.h"

namespace mpioctl {

using mpio::loader::EntryPoints;
using mpio::loader::loadPlugin;
using mpio::loader::LoadResult;

// The environment variable that names a plug-in when --plugin is not given.
inline constexpr const char* kPluginEnvironmentVariable = "MPIOCTL_PLUGIN";

// The plug-in that mpioctl loads when none is named, as its help describes it.
struct DefaultPlugin {
    std::string fromProgramDir;     // relative to mpioctl's directory
    std::string whenProgramUnknown; // absolute, when that directory cannot be learnt
};

// What the choice of the plug-in goes by.
struct PluginLookup {
    std::optional<std::string> given;       // --plugin
    std::optional<std::string> environment; // MPIOCTL_PLUGIN, when set
    std::string executable;                 // the running program; empty when unknown
    DefaultPlugin defaults;
};

struct PluginChoice {
    std::string path;
    bool byDefault = false; // neither --plugin nor MPIOCTL_PLUGIN named it
};

// The plug-in to load, in this order: the one given with --plugin; the one
// that MPIOCTL_PLUGIN names, when not empty; else the default, found from the
// program's own directory, so that an installed tree works wherever it is
// moved. When the program's own path is unknown (no /proc, or a path too
// long to read), the default is whenProgramUnknown, never a name relative to
// the current directory.
PluginChoice choosePlugin(const PluginLookup& lookup);

} // namespace mpioctl

#endif // MPIOCTL_PLUGIN_H
