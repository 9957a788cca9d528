// SPDX-License-Identifier: Apache-2.0
#include "private_dev.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace mpiotest {
namespace {

bool inPlace = false;
std::string reason = "the private /dev was never set up";

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

void requireInPlace(const std::string& path) {
    if (!inPlace) throw std::runtime_error("refusing to touch " + path + " outside the private /dev");
    if (path.rfind("/dev/", 0) != 0)
        throw std::runtime_error("fixture paths lie under /dev/: " + path);
}

void makeParents(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
}

void node(const std::string& path, mode_t type, int major, int minor) {
    requireInPlace(path);
    makeParents(path);
    ::unlink(path.c_str());
    if (::mknod(path.c_str(), type | 0600, makedev(major, minor)) != 0)
        throw std::runtime_error(failure("mknod " + path));
}

} // namespace

std::string hideUnderEmptyTmpfs(const std::string& directory) {
    if (::unshare(CLONE_NEWNS) != 0) return failure("unshare(CLONE_NEWNS)");
    // Keep every mount made from here on inside this namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return failure("making / private");
    if (::mount("mpiotest", directory.c_str(), "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=64m") != 0)
        return failure("mounting tmpfs on " + directory);
    return {};
}

void PrivateDev::enter() const {
    reason = hideUnderEmptyTmpfs("/dev");
    inPlace = reason.empty();
}

bool PrivateDev::available() const { return inPlace; }
const std::string& PrivateDev::whyUnavailable() const { return reason; }

void PrivateDev::clear() const {
    requireInPlace("/dev/");
    for (const auto& entry : std::filesystem::directory_iterator("/dev"))
        std::filesystem::remove_all(entry.path());
}

void PrivateDev::blockNode(const std::string& path, int major, int minor) const { node(path, S_IFBLK, major, minor); }
void PrivateDev::charNode(const std::string& path, int major, int minor) const { node(path, S_IFCHR, major, minor); }

void PrivateDev::symlink(const std::string& target, const std::string& link) const {
    requireInPlace(link);
    makeParents(link);
    ::unlink(link.c_str());
    if (::symlink(target.c_str(), link.c_str()) != 0)
        throw std::runtime_error(failure("symlink " + link));
}

void PrivateDev::regularFile(const std::string& path) const {
    requireInPlace(path);
    makeParents(path);
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error(failure("creating " + path));
    ::close(fd);
}

void PrivateDev::directory(const std::string& path) const {
    requireInPlace(path);
    std::filesystem::create_directories(path);
}

} // namespace mpiotest
