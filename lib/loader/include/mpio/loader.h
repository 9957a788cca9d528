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
// (never from the library search path): the path and the file that it leads
// to are checked with whyReplaceable, then that file is given to
// dlopen(RTLD_NOW | RTLD_LOCAL) by its absolute path without symbolic links,
// and every entry point is found with dlsym. Fails with the reason that the
// file cannot be found or is refused, the dynamic loader's text, or one line
// per missing entry point.
LoadResult loadPlugin(const std::string& path);

// Why someone other than root and the caller (the effective user) could
// replace the file at the absolute, normalised path; empty when no one
// could. The file must be a regular file, and it and every directory above
// it owned by root or the caller and writable by neither group nor others.
// A root-owned directory with the sticky bit (such as /tmp) is accepted
// above a directory, where no one else can remove or rename what is not
// theirs; directly above the file it is not, since anyone could have put a
// file there under that name. A symbolic link on the way is judged by its
// owner and its directory alone (what it leads to is for the caller to check
// by the resolved path).
std::string whyReplaceable(const std::string& path);

// The errors of a failed load as one text, a line each.
std::string joinedErrors(const LoadResult& loaded);

} // namespace mpio::loader

#endif // MPIO_LOADER_H
