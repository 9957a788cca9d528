// SPDX-License-Identifier: Apache-2.0
// Device-node fixtures. The test program runs in a private mount namespace
// with its own tmpfs on /dev, where tests create block-device nodes, links
// and files; the machine's real /dev is never touched. Where the namespace
// cannot be made, the tests that need it skip.
#ifndef TESTS_SUPPORT_DEV_FIXTURE_H
#define TESTS_SUPPORT_DEV_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

namespace devfixture {

// Called once by the test program's main, before any thread starts.
void enterPrivateDev();

bool available();
const std::string& whyUnavailable();

// Each of these throws std::runtime_error on failure and refuses to run
// unless the private /dev is in place. Parent directories are created.
void clearDev();
void blockNode(const std::string& path, int major, int minor);
void charNode(const std::string& path, int major, int minor);
void symlink(const std::string& target, const std::string& link);
void regularFile(const std::string& path);
void directory(const std::string& path);

} // namespace devfixture

// The admin major number of the nodes that the device-node tests and the
// fuzz targets make.
inline constexpr int kAdminMajor = 120;

#define REQUIRE_PRIVATE_DEV()                                                             \
    do {                                                                                  \
        if (!devfixture::available())                                                     \
            GTEST_SKIP() << "no private /dev for device nodes: " << devfixture::whyUnavailable(); \
    } while (0)

// A test fixture that starts every test with an empty private /dev.
class DevNodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_DEV();
        devfixture::clearDev();
    }
};

#endif
