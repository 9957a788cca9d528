#include "sandbox_devtree.h"

#include "sysfiles.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

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
    if (::mknod(path.c_str(), S_IFCHR | mode, makedev(major, minor)) != 0) throw SysError("cannot create " + path, errno);
    if (::chmod(path.c_str(), mode) != 0) throw SysError("cannot set the mode of " + path, errno);
}

void makeCharacterNodes(const std::string& dev, bool withLoopControl) {
    struct Node {
        const char* name;
        unsigned major, minor;
    };
    for (const Node& n : {Node{"null", 1, 3}, {"zero", 1, 5}, {"full", 1, 7}, {"random", 1, 8}, {"urandom", 1, 9},
                          {"tty", 5, 0}})
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

} // namespace

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

} // namespace sim
