// SPDX-License-Identifier: Apache-2.0
// Loading a multipath-I/O plug-in by path, as a host does, and finding its
// entry points by their plain names. The one loader of the project: mpioctl,
// the end-to-end tests and the benchmarks use it.
#ifndef MPIO_LOADER_H
#define MPIO_LOADER_H

#include <memory>
#include <string>
#include <vector>

#include "TmMPIO_EMCPowerPath.h"

namespace mpio::loader {

// The nine entry points, typed as the plug-in's header declares them, and
// the exported vendor-name pointer, which a plug-in need not have.
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
    char** vendorName = nullptr; // _VendorName; null when not exported
};

// A loaded plug-in; unloaded when destroyed.
class Plugin {
public:
    explicit Plugin(void* handle) : handle_{handle} {}
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;
    ~Plugin();

    const EntryPoints& entryPoints() const { return entryPoints_; }
    EntryPoints& entryPoints() { return entryPoints_; }

private:
    void* handle_;
    EntryPoints entryPoints_;
};

struct LoadResult {
    std::unique_ptr<Plugin> plugin;  // null when it failed
    std::vector<std::string> errors; // one line per problem
};

// dlopen(RTLD_NOW | RTLD_LOCAL) of the file at path (a bare name is taken
// from the current directory, not from the library search path), then dlsym
// of every entry point. Fails with the dynamic loader's text, or with one
// line per missing entry point.
LoadResult loadPlugin(const std::string& path);

// The errors of a failed load as one text, a line each.
std::string joinedErrors(const LoadResult& loaded);

} // namespace mpio::loader

#endif // MPIO_LOADER_H
