// SPDX-License-Identifier: Apache-2.0
// The GoogleTest layer over the support library: the caller kit's checks as
// assertion results, skips for a missing private /dev or sandbox, and the
// main of the test programs (test_main.cpp), which they take instead of
// GoogleTest's own unless they have one of their own.
#ifndef TESTS_SUPPORT_GTEST_LAYER_H
#define TESTS_SUPPORT_GTEST_LAYER_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "caller_kit.h"
#include "private_dev.h"
#include "sandbox_probe.h"

namespace mpiotest {

// EXPECT_TRUE(holds(out, code, text)), EXPECT_TRUE(holds(paths, {...})): what
// differs, when anything does.
template <class Buffers, class... Expected>
::testing::AssertionResult holds(const Buffers& buffers, const Expected&... expected) {
    const std::string why = buffers.fault(expected...);
    if (why.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << why;
}

inline ::testing::AssertionResult holds(const PathArray& paths, const std::vector<std::string>& expected) {
    return holds<PathArray>(paths, expected);
}

// The main enters the private /dev before anything else runs when a source
// of the program asked for it with MPIOTEST_PROGRAM_USES_PRIVATE_DEV(); the
// answer is the request, for the initialiser below.
bool askForPrivateDev();

} // namespace mpiotest

// Said once in a program whose tests make device nodes.
#define MPIOTEST_PROGRAM_USES_PRIVATE_DEV() \
    [[maybe_unused]] static const bool mpiotestPrivateDevAsked = ::mpiotest::askForPrivateDev()

#define REQUIRE_PRIVATE_DEV()                                                                       \
    do {                                                                                            \
        if (!::mpiotest::privateDev.available())                                                    \
            GTEST_SKIP() << "no private /dev for device nodes: " << ::mpiotest::privateDev.whyUnavailable(); \
    } while (0)

#define REQUIRE_SANDBOX(launcher, topology)                                         \
    do {                                                                            \
        const std::string& whyNot = ::mpiotest::whyNoSandbox(launcher, topology);   \
        if (!whyNot.empty()) GTEST_SKIP() << "no sandbox here: " << whyNot;         \
    } while (0)

#endif // TESTS_SUPPORT_GTEST_LAYER_H
