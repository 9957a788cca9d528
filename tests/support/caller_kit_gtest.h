// SPDX-License-Identifier: Apache-2.0
// The caller kit's checks as GoogleTest assertion results, with what differs.
#ifndef TESTS_SUPPORT_CALLER_KIT_GTEST_H
#define TESTS_SUPPORT_CALLER_KIT_GTEST_H

#include <gtest/gtest.h>

#include "caller_kit.h"

namespace kit {

// EXPECT_TRUE(kit::holds(out, code, text)), EXPECT_TRUE(kit::holds(paths, {...})).
template <class Buffers, class... Expected>
::testing::AssertionResult holds(const Buffers& buffers, const Expected&... expected) {
    const std::string why = buffers.fault(expected...);
    if (why.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << why;
}

inline ::testing::AssertionResult holds(const PathArray& paths, const std::vector<std::string>& expected) {
    const std::string why = paths.fault(expected);
    if (why.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << why;
}

} // namespace kit

#endif // TESTS_SUPPORT_CALLER_KIT_GTEST_H
