// SPDX-License-Identifier: Apache-2.0
// A private temporary directory for one test, removed with its contents when
// it goes. What a test mounted inside is detached, never emptied: the removal
// does not cross into another mount.
#ifndef TESTS_SUPPORT_TEMP_DIR_H
#define TESTS_SUPPORT_TEMP_DIR_H

#include <string>

namespace mpiotest {

class TempDir {
public:
    // Throws std::runtime_error when no directory can be made.
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace mpiotest

#endif // TESTS_SUPPORT_TEMP_DIR_H
