#include "plugin.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>
#include <utility>

namespace mpioctl {

Plugin::~Plugin() {
    if (handle_) dlclose(handle_);
}

namespace {

template <typename Function>
bool bind(void* handle, const char* name, Function& slot) {
    dlerror();
    void* symbol = dlsym(handle, name);
    if (!symbol) return false;
    slot = reinterpret_cast<Function>(symbol);
    return true;
}

} // namespace

LoadResult loadPlugin(const std::string& path) {
    LoadResult loaded;
    // A name without a slash is a file here too, not one for the library search.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        loaded.errors.push_back("cannot load plugin " + path + ": " +
                                (why ? why : "unknown dynamic loader error"));
        return loaded;
    }
    std::unique_ptr<Plugin> plugin(new Plugin(handle));
    EntryPoints& e = plugin->entryPoints_;
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
    if (loaded.errors.empty()) loaded.plugin = std::move(plugin);
    return loaded;
}

std::string choosePluginPath(const std::optional<std::string>& given,
                             const std::string& executable, const std::string& fallback) {
    if (given) return *given;
    if (!executable.empty()) {
        const std::filesystem::path beside = std::filesystem::path(executable).parent_path() /
                                             ".." / "lib" / "libTmMPIO_EMCPowerPath.so";
        std::error_code error;
        if (std::filesystem::is_regular_file(beside, error))
            return beside.lexically_normal().string();
    }
    return fallback;
}

} // namespace mpioctl
