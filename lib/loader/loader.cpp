// SPDX-License-Identifier: Apache-2.0
#include "mpio/loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
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

// "its group", "others" or "its group and others", for the write bits of mode.
std::string writers(mode_t mode) {
    if ((mode & S_IWGRP) && (mode & S_IWOTH)) return "its group and others";
    return (mode & S_IWGRP) ? "its group" : "others";
}

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
std::string whyReplaceable(const std::string& path) {
    const uid_t caller = ::geteuid();
    std::filesystem::path entry = path;
    bool belowIsDirectory = false; // the entry checked before, just below this one
    for (bool first = true;; first = false) {
        struct stat node {};
        if (::lstat(entry.c_str(), &node) != 0) return "cannot examine " + entry.string() + ": " + std::strerror(errno);
        const bool link = S_ISLNK(node.st_mode);
        const bool directory = S_ISDIR(node.st_mode);
        if (!link && (first ? !S_ISREG(node.st_mode) : !directory))
            return entry.string() + (first ? " is not a regular file" : " is not a directory");
        if (node.st_uid != 0 && node.st_uid != caller)
            return entry.string() + " is owned by uid " + std::to_string(node.st_uid) + ", neither root nor the caller";
        // A link's own mode means nothing: its directory decides who may replace it.
        const mode_t writable = link ? 0 : node.st_mode & (S_IWGRP | S_IWOTH);
        const bool sticky = directory && node.st_uid == 0 && (node.st_mode & S_ISVTX);
        if (writable && !(sticky && belowIsDirectory))
            return entry.string() + " is writable by " + writers(node.st_mode) +
                   (sticky ? " (a sticky directory is accepted only above a directory)" : "");
        belowIsDirectory = directory;
        if (!entry.has_relative_path()) return {}; // the root directory
        entry = entry.parent_path();
    }
}

} // namespace

LoadResult loadPlugin(const std::string& path) {
    LoadResult loaded;
    std::error_code unresolved;
    const std::string file = std::filesystem::canonical(path, unresolved).string();
    if (unresolved) {
        loaded.errors.push_back("cannot load plugin " + path + ": " + unresolved.message());
        return loaded;
    }
    // The path as given, with the links on its way, and the file it leads to.
    std::error_code noDirectory;
    const std::string given = std::filesystem::absolute(path, noDirectory).lexically_normal().string();
    std::string why = whyReplaceable(given);
    if (why.empty() && given != file) why = whyReplaceable(file);
    if (!why.empty()) {
        loaded.errors.push_back("refusing to load plugin " + path + ": " + why +
                                ", so someone else could replace the plug-in");
        return loaded;
    }
    ::dlerror();
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = ::dlerror();
        loaded.errors.push_back("cannot load plugin " + path + ": " +
                                (reason ? reason : "unknown dynamic loader error"));
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
