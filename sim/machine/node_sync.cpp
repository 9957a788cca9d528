// SPDX-License-Identifier: Apache-2.0
#include "machine/node_sync.h"

#include "machine/checked_files.h"
#include "machine/device_names.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <unordered_map>

namespace sim {
namespace {

void makeDirs(const std::string& path) {
    std::string prefix;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        prefix = path.substr(0, pos);
        if (prefix.empty()) continue;
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) throw SysError("cannot create " + prefix, errno);
    }
}

void removeEntry(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw SysError("cannot remove " + path, errno);
}

bool isBlockNode(const std::string& path, dev_t number) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == number;
}

bool linksTo(const std::string& path, const std::string& target) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n >= 0 && std::string(buffer, static_cast<std::size_t>(n)) == target;
}

constexpr int kAbsent = -1;

// Brings the entries of one directory to what is wanted, from a single
// listing of it. An entry of the wanted type is taken as made by an earlier
// pass, since under one state directory a name's numbers and link target
// never change: a pass over an up-to-date tree makes no call per entry.
class DirSync {
public:
    explicit DirSync(const std::string& dir) : dir_(dir) { list(); }

    void node(const std::string& name, int major, unsigned minor) {
        const std::string path = dir_ + "/" + name;
        const dev_t want = makedev(static_cast<unsigned>(major), minor);
        const int type = listed(name);
        if (type == DT_BLK || (type == DT_UNKNOWN && isBlockNode(path, want))) return;
        if (type != kAbsent) removeEntry(path);
        if (::mknod(path.c_str(), S_IFBLK | 0660, want) != 0) throw SysError("cannot create block node " + path, errno);
    }

    void link(const std::string& name, const std::string& target) {
        const std::string path = dir_ + "/" + name;
        const int type = listed(name);
        if (type == DT_LNK || (type == DT_UNKNOWN && linksTo(path, target))) return;
        if (type != kAbsent) removeEntry(path);
        if (::symlink(target.c_str(), path.c_str()) != 0) throw SysError("cannot create link " + path, errno);
    }

    void remove(const std::string& name) {
        if (listed(name) != kAbsent) removeEntry(dir_ + "/" + name);
    }

private:
    void list() {
        DIR* dir = ::opendir(dir_.c_str());
        if (!dir) throw SysError("cannot read " + dir_, errno);
        errno = 0;
        while (const dirent* e = ::readdir(dir)) entries_.emplace(e->d_name, e->d_type);
        const int error = errno;
        ::closedir(dir);
        if (error != 0) throw SysError("cannot read " + dir_, error);
    }

    int listed(const std::string& name) const {
        const auto it = entries_.find(name);
        return it == entries_.end() ? kAbsent : it->second;
    }

    std::string dir_;
    std::unordered_map<std::string, unsigned char> entries_;
};

// The nodes of a device's sd paths and their partitions.
void syncSdNodes(DirSync& dev, const Device& d) {
    for (const auto& p : d.paths) {
        const DevNumber n = sdNumber(p.disk);
        dev.node(p.sd, n.major, n.minor);
        for (const auto& part : d.partitions)
            dev.node(p.sd + std::to_string(part.number), n.major, n.minor + static_cast<unsigned>(part.number));
    }
}

// The nodes and by-id links of a pseudo device and its partitions while it
// is configured; otherwise none of them.
void syncPseudoNodes(DirSync& dev, DirSync& byId, const Device& d, int major, bool configured) {
    // Bit p: partition p (0: the whole device) is wanted.
    unsigned wanted = 0;
    if (configured) {
        wanted = 1;
        for (const auto& part : d.partitions) wanted |= 1U << part.number;
    }
    // Every partition number a device can have, so that stale nodes go too.
    for (int partNo = 0; partNo <= kMaxPartition; ++partNo) {
        const std::string suffix = partNo ? std::to_string(partNo) : std::string();
        const std::string link = "scsi-3" + d.ldev + (partNo ? "-part" + suffix : std::string());
        if (wanted & (1U << partNo)) {
            dev.node(d.name + suffix, major, static_cast<unsigned>(d.index * 16 + partNo));
            byId.link(link, "../../" + d.name + suffix);
        } else {
            dev.remove(d.name + suffix);
            byId.remove(link);
        }
    }
}

} // namespace

void syncNodes(const std::string& devRoot, const Topology& topology, const NameSet& configured) {
    makeDirs(devRoot + "/disk/by-id");
    DirSync dev(devRoot);
    DirSync byId(devRoot + "/disk/by-id");
    for (const auto& d : topology.devices) {
        syncSdNodes(dev, d);
        syncPseudoNodes(dev, byId, d, topology.adminMajor, configured.count(d.name) != 0);
    }
}

void removeNodes(const std::string& devRoot, const std::vector<Device>& dropped, int adminMajor) {
    DirSync dev(devRoot);
    DirSync byId(devRoot + "/disk/by-id");
    for (const auto& d : dropped) {
        for (const auto& p : d.paths) {
            dev.remove(p.sd);
            for (const auto& part : d.partitions) dev.remove(p.sd + std::to_string(part.number));
        }
        syncPseudoNodes(dev, byId, d, adminMajor, false);
    }
}

} // namespace sim
