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

// Loads the file at path, taken from the current directory when relative
// (never from the library search path): neither the path nor the file that
// it leads to may be replaceable by anyone but root and the caller (the
// file and every directory above it owned by one of them and writable by
// neither group nor others; a root-owned sticky directory such as /tmp only
// above a directory); then that file is given to
// dlopen(RTLD_NOW | RTLD_LOCAL) by its absolute path without symbolic links,
// and every entry point is found with dlsym. Fails with the reason that the
// file cannot be found or is refused, the dynamic loader's text, or one line
// per missing entry point.
LoadResult loadPlugin(const std::string& path);

// The errors of a failed load as one text, a line each.
std::string joinedErrors(const LoadResult& loaded);

} // namespace mpio::loader

#endif // MPIO_LOADER_H
