// SPDX-License-Identifier: Apache-2.0
#include "sandbox/dev_tree.h"

#include "machine/checked_files.h"
#include "machine/device_names.h"

#include "mpio/process.h"

#include <fcntl.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace sim {

void mountOrThrow(const char* source, const std::string& target, const char* type, unsigned long flags,
                  const char* data, const std::string& what) {
    if (::mount(source, target.c_str(), type, flags, data) != 0) throw SysError(what, errno);
}

void mkdirOrThrow(const std::string& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) != 0) throw SysError("cannot create " + path, errno);
}

void symlinkOrThrow(const std::string& target, const std::string& path) {
    if (::symlink(target.c_str(), path.c_str()) != 0) throw SysError("cannot create link " + path, errno);
}

namespace {

void charNode(const std::string& path, unsigned major, unsigned minor, mode_t mode) {
    if (::mknod(path.c_str(), S_IFCHR | mode, makedev(major, minor)) != 0)
        throw SysError("cannot create " + path, errno);
    if (::chmod(path.c_str(), mode) != 0) throw SysError("cannot set the mode of " + path, errno);
}

void makeCharacterNodes(const std::string& dev, bool withLoopControl) {
    struct Node {
        const char* name;
        unsigned major, minor;
    };
    for (const Node& n :
         {Node{"null", 1, 3}, {"zero", 1, 5}, {"full", 1, 7}, {"random", 1, 8}, {"urandom", 1, 9}, {"tty", 5, 0}})
        charNode(dev + "/" + n.name, n.major, n.minor, 0666);
    if (withLoopControl) charNode(dev + "/loop-control", 10, 237, 0600);
}

void linkDescriptors(const std::string& dev) {
    symlinkOrThrow("/proc/self/fd", dev + "/fd");
    symlinkOrThrow("/proc/self/fd/0", dev + "/stdin");
    symlinkOrThrow("/proc/self/fd/1", dev + "/stdout");
    symlinkOrThrow("/proc/self/fd/2", dev + "/stderr");
}

void mountShm(const std::string& dev) {
    mkdirOrThrow(dev + "/shm", 01777);
    mountOrThrow("mpio-sandbox-shm", dev + "/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=64m",
                 "cannot mount /dev/shm");
}

// Terminals keep working when the host has devpts.
void bindHostPts(const std::string& dev) {
    struct stat st {};
    if (::stat("/dev/pts/ptmx", &st) != 0) return;
    mkdirOrThrow(dev + "/pts", 0755);
    if (::mount("/dev/pts", (dev + "/pts").c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0)
        symlinkOrThrow("pts/ptmx", dev + "/ptmx");
}

// A directory open for the *at calls, and a name buffer reused for every
// entry: the names are short, so nothing is allocated per entry.
class EntryMaker {
public:
    explicit EntryMaker(const std::string& dir)
        : dir_(dir), fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (!fd_) throw SysError("cannot open " + dir, errno);
    }

    // name + the decimal `suffix` when suffix > 0: "sdab" 2 -> "sdab2".
    const char* name(std::string_view base, std::string_view middle = {}, int suffix = 0) {
        std::size_t n = 0;
        for (const std::string_view part : {base, middle}) {
            if (n + part.size() + 4 > sizeof name_)
                throw std::runtime_error("device name too long: " + std::string(base));
            part.copy(name_ + n, part.size());
            n += part.size();
        }
        if (suffix > 0) n = static_cast<std::size_t>(std::to_chars(name_ + n, name_ + n + 3, suffix).ptr - name_);
        name_[n] = '\0';
        return name_;
    }

    void node(const char* name, int major, unsigned minor) {
        if (::mknodat(fd_.get(), name, S_IFBLK | 0660, makedev(static_cast<unsigned>(major), minor)) != 0)
            throw SysError("cannot create block node " + dir_ + "/" + name, errno);
    }

    void link(const char* target, const char* name) {
        if (::symlinkat(target, fd_.get(), name) != 0) throw SysError("cannot create link " + dir_ + "/" + name, errno);
    }

private:
    std::string dir_;
    mpio::process::Fd fd_;
    char name_[256] = {};
};

void makeSdNodes(EntryMaker& dev, const Device& d) {
    for (const auto& p : d.paths) {
        const DevNumber n = sdNumber(p.disk);
        dev.node(dev.name(p.sd), n.major, n.minor);
        for (const auto& part : d.partitions)
            dev.node(dev.name(p.sd, {}, part.number), n.major, n.minor + static_cast<unsigned>(part.number));
    }
}

void makePseudoNodes(EntryMaker& dev, EntryMaker& byId, const Device& d, int major) {
    const unsigned minor = static_cast<unsigned>(d.index * 16);
    std::string target = "../../" + d.name;
    const std::string link = "scsi-3" + d.ldev;
    dev.node(dev.name(d.name), major, minor);
    byId.link(target.c_str(), byId.name(link));
    for (const auto& part : d.partitions) {
        dev.node(dev.name(d.name, {}, part.number), major, minor + static_cast<unsigned>(part.number));
        target.resize(6 + d.name.size());
        target += std::to_string(part.number);
        byId.link(target.c_str(), byId.name(link, "-part", part.number));
    }
}

} // namespace

void makeDeviceNodes(const std::string& dev, const Topology& topology, const NameSet& configured) {
    mkdirOrThrow(dev + "/disk", 0755);
    mkdirOrThrow(dev + "/disk/by-id", 0755);
    EntryMaker nodes(dev);
    EntryMaker byId(dev + "/disk/by-id");
    for (const auto& d : topology.devices) {
        makeSdNodes(nodes, d);
        if (configured.count(d.name)) makePseudoNodes(nodes, byId, d, topology.adminMajor);
    }
}

void makeBasicDevTree(const std::string& dev, bool withLoopControl) {
    mkdirOrThrow(dev, 0755);
    mountOrThrow("mpio-sandbox", dev, "tmpfs", MS_NOSUID, "mode=0755,size=16m", "cannot mount a tmpfs for /dev");
    makeCharacterNodes(dev, withLoopControl);
    linkDescriptors(dev);
    mountShm(dev);
    bindHostPts(dev);
}

void moveOverDev(const std::string& dev) {
    mountOrThrow(dev.c_str(), "/dev", nullptr, MS_MOVE, nullptr, "cannot put the new /dev in place");
    ::rmdir(dev.c_str());
}

void mountSimulatedProc(const StateDir& state, const std::string& proc) {
    mountOrThrow("proc", proc, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr, "cannot mount " + proc);
    for (const auto& [file, target] :
         {std::pair{state.partitions(), proc + "/partitions"}, std::pair{state.devices(), proc + "/devices"}}) {
        mountOrThrow(file.c_str(), target, nullptr, MS_BIND, nullptr, "cannot bind " + file + " over " + target);
        mountOrThrow(nullptr, target, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr,
                     "cannot make " + target + " read-only");
    }
}

} // namespace sim
