// SPDX-License-Identifier: Apache-2.0
// main of the test programs: enters the private /dev, when the program asked
// for it, before GoogleTest (or anything else) can start a thread.
#include <cstdio>

#include "gtest_layer.h"

namespace mpiotest {
namespace {

bool privateDevAsked = false;

} // namespace

bool askForPrivateDev() { return privateDevAsked = true; }

} // namespace mpiotest

int main(int argc, char** argv) {
    using mpiotest::privateDev;
    if (mpiotest::privateDevAsked) privateDev.enter();
    ::testing::InitGoogleTest(&argc, argv);
    if (mpiotest::privateDevAsked && !privateDev.available())
        std::fprintf(stderr, "note: device-node tests skip: %s\n", privateDev.whyUnavailable().c_str());
    return RUN_ALL_TESTS();
}
