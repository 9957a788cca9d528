// Loading a plug-in by path and finding its entry points by their plain names.
#ifndef MPIOCTL_PLUGIN_H
#define MPIOCTL_PLUGIN_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TmMPIO_EMCPowerPath.h"

namespace mpioctl {

// The nine entry points, typed as the plug-in's header declares them.
struct EntryPoints {
    decltype(&::init) init = nullptr;
    decltype(&::getVendorName) getVendorName = nullptr;
    decltype(&::getMPIODevices) getMPIODevices = nullptr;
    decltype(&::isMPIODevice) isMPIODevice = nullptr;
    decltype(&::getUnderlyingDevices) getUnderlyingDevices = nullptr;
    decltype(&::refreshMPIO) refreshMPIO = nullptr;
    decltype(&::deleteMPIODevice) deleteMPIODevice = nullptr;
    decltype(&::isPartitionDevice) isPartitionDevice = nullptr;
    decltype(&::getPartitionDevices) getPartitionDevices = nullptr;
};

struct LoadResult;

// dlopen(RTLD_NOW | RTLD_LOCAL) of the file at path (a bare name is taken
// from the current directory), then dlsym of every entry point. Fails with
// the dynamic loader's text, or with one line per missing entry point.
LoadResult loadPlugin(const std::string& path);

// A loaded plug-in; unloaded when destroyed.
class Plugin {
public:
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;
    ~Plugin();

    const EntryPoints& entryPoints() const { return entryPoints_; }

private:
    friend LoadResult loadPlugin(const std::string& path);
    explicit Plugin(void* handle) : handle_{handle} {}

    void* handle_;
    EntryPoints entryPoints_;
};

struct LoadResult {
    std::unique_ptr<Plugin> plugin;  // null when it failed
    std::vector<std::string> errors; // one line per problem
};

// The plug-in to load: the one given with --plugin, else the one in ../lib
// beside the executable when it exists, else the fallback (the build tree's).
std::string choosePluginPath(const std::optional<std::string>& given,
                             const std::string& executable, const std::string& fallback);

} // namespace mpioctl

#endif // MPIOCTL_PLUGIN_H
