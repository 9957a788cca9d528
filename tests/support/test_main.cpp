// SPDX-License-Identifier: Apache-2.0
// main of the plug-in's unit-test programs: enters the private /dev before
// GoogleTest (or anything else) can start a thread.
#include <gtest/gtest.h>

#include "dev_fixture.h"

int main(int argc, char** argv) {
    devfixture::enterPrivateDev();
    ::testing::InitGoogleTest(&argc, argv);
    if (!devfixture::available())
        std::fprintf(stderr, "note: device-node tests skip: %s\n",
                     devfixture::whyUnavailable().c_str());
    return RUN_ALL_TESTS();
}
