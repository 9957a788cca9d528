// SPDX-License-Identifier: Apache-2.0
#include "mpio/loader.h"

#include <dlfcn.h>

#include <utility>

namespace mpio::loader {

Plugin::~Plugin() {
    if (handle_) ::dlclose(handle_);
}

namespace {

template <typename Slot>
bool bind(void* handle, const char* name, Slot& slot) {
    ::dlerror();
    void* symbol = ::dlsym(handle, name);
    if (!symbol) return false;
    slot = reinterpret_cast<Slot>(symbol);
    return true;
}

} // namespace

LoadResult loadPlugin(const std::string& path) {
    LoadResult loaded;
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    ::dlerror();
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        loaded.errors.push_back("cannot load plugin " + path + ": " + (why ? why : "unknown dynamic loader error"));
        return loaded;
    }
    auto plugin = std::make_unique<Plugin>(handle);
    EntryPoints& e = plugin->entryPoints();
    const std::pair<const char*, bool> found[] = {
        {"init", bind(handle, "init", e.init)},
        {"getVendorName", bind(handle, "getVendorName", e.getVendorName)},
        {"getMPIODevices", bind(handle, "getMPIODevices", e.getMPIODevices)},
        {"isMPIODevice", bind(handle, "isMPIODevice", e.isMPIODevice)},
        {"getUnderlyingDevices", bind(handle, "getUnderlyingDevices", e.getUnderlyingDevices)},
        {"refreshMPIO", bind(handle, "refreshMPIO", e.refreshMPIO)},
        {"deleteMPIODevice", bind(handle, "deleteMPIODevice", e.deleteMPIODevice)},
        {"isPartitionDevice", bind(handle, "isPartitionDevice", e.isPartitionDevice)},
        {"getPartitionDevices", bind(handle, "getPartitionDevices", e.getPartitionDevices)},
    };
    for (const auto& [name, present] : found)
        if (!present) loaded.errors.push_back("plugin " + path + " lacks entry point " + name);
    bind(handle, "_VendorName", e.vendorName); // optional
    if (loaded.errors.empty()) loaded.plugin = std::move(plugin);
    return loaded;
}

std::string joinedErrors(const LoadResult& loaded) {
    std::string text;
    for (const std::string& line : loaded.errors) text += (text.empty() ? "" : "\n") + line;
    return text;
}

} // namespace mpio::loader
