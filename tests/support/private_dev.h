// SPDX-License-Identifier: Apache-2.0
// A private /dev for tests that make device nodes: the program enters a
// mount namespace of its own with a tmpfs on /dev, where tests create
// block-device nodes, links and files; the machine's real /dev is never
// touched. Where the namespace cannot be made, nothing is mounted and the
// tests that need it skip. Free of GoogleTest (the fuzz targets use it).
#ifndef TESTS_SUPPORT_PRIVATE_DEV_H
#define TESTS_SUPPORT_PRIVATE_DEV_H

#include <string>

namespace mpiotest {

// The admin major number of the nodes that the device-node tests and the
// fuzz targets make.
inline constexpr int kAdminMajor = 120;

// Enters a mount namespace of this process's own and mounts an empty tmpfs
// on the directory there: a child that breaks its machine on purpose hides
// /bin so, and the private /dev is made so. Empty on success, else why not.
std::string hideUnderEmptyTmpfs(const std::string& directory);

// The private /dev of this process. The object holds no state of its own:
// it names the operations, which all act on the one namespace.
class PrivateDev {
public:
    // Called once, before any thread starts (threads would stay in the old
    // namespace).
    void enter() const;

    bool available() const;
    const std::string& whyUnavailable() const;

    // Each of these throws std::runtime_error on failure and refuses to run
    // unless the private /dev is in place. Parent directories are created.
    void clear() const;
    void blockNode(const std::string& path, int major, int minor) const;
    void charNode(const std::string& path, int major, int minor) const;
    void symlink(const std::string& target, const std::string& link) const;
    void regularFile(const std::string& path) const;
    void directory(const std::string& path) const;
};

inline constexpr PrivateDev privateDev{};

} // namespace mpiotest

#endif // TESTS_SUPPORT_PRIVATE_DEV_H
