// SPDX-License-Identifier: Apache-2.0
#include "sandbox/root_dir.h"

#include "machine/checked_files.h"
#include "sandbox/dev_tree.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace sim {

namespace {

// A directory of the root that a simulated one is laid over: a real
// directory, not a link, which could lead the mount out of the root.
void requireDirectory(const std::string& root, const char* name) {
    struct stat st {};
    if (::lstat((root + name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw std::runtime_error("it has no directory " + std::string(name) + " to lay the simulated one over");
}

// A tmpfs over the root's /run with the state directory and the simulator
// bound into it, at kRootStateDir and kRootBinDir/powermt.
void mountRun(const std::string& run, const StateDir& state) {
    mountOrThrow("mpio-sandbox-run", run, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=64m",
                 "cannot mount a tmpfs over " + run);
    const std::string base = run + "/mpio-sandbox";
    mkdirOrThrow(base, 0755);
    mkdirOrThrow(base + "/state", 0755);
    mkdirOrThrow(base + "/bin", 0755);
    writeNewFile(base + "/bin/powermt", "", 0755);          // the mount point of the simulator
    const std::string simulator = state.bin() + "/powermt"; // a link to it, which the bind follows
    mountOrThrow(simulator.c_str(), base + "/bin/powermt", nullptr, MS_BIND, nullptr,
                 "cannot bind the simulator " + simulator);
    mountOrThrow(state.dir.c_str(), base + "/state", nullptr, MS_BIND, nullptr,
                 "cannot bind the state directory " + state.dir);
}

// pivot_root with the old root stacked on the new one, then detached: no
// directory for the old root is needed in the new.
void pivotInto(const std::string& root) {
    if (::chdir(root.c_str()) != 0) throw SysError("chdir", errno);
    if (::syscall(SYS_pivot_root, ".", ".") != 0) throw SysError("pivot_root", errno);
    if (::umount2(".", MNT_DETACH) != 0) throw SysError("cannot detach the old root", errno);
    if (::chdir("/") != 0) throw SysError("chdir /", errno);
}

bool hasShell() {
    struct stat st {};
    return ::stat("/bin/sh", &st) == 0 && S_ISREG(st.st_mode) && ::access("/bin/sh", X_OK) == 0;
}

} // namespace

std::string checkedRootDir(const std::string& dir) {
    const std::string given = std::filesystem::absolute(dir).lexically_normal().string();
    std::error_code ec;
    if (!std::filesystem::is_directory(given, ec))
        throw std::runtime_error("the root " + given + " is not a directory");
    const std::string resolved = std::filesystem::canonical(given, ec).string();
    if (ec) throw SysError("cannot use the root " + given, ec.value());
    return resolved;
}

void enterRoot(const std::string& root, const StateDir& state) {
    try {
        for (const char* name : {"/dev", "/proc", "/run"}) requireDirectory(root, name);
        // pivot_root needs the new root to be a mount; MS_REC keeps what the
        // caller mounted inside it.
        mountOrThrow(root.c_str(), root, nullptr, MS_BIND | MS_REC, nullptr, "cannot bind it");
        mountOrThrow("/dev", root + "/dev", nullptr, MS_BIND | MS_REC, nullptr,
                     "cannot bind /dev over " + root + "/dev");
        mountSimulatedProc(state, root + "/proc");
        mountRun(root + "/run", state);
        pivotInto(root);
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot enter the root " + root + ": " + e.what());
    }
    if (!hasShell()) throw std::runtime_error("the root " + root + " has no /bin/sh");
}

} // namespace sim
