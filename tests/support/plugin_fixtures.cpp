// SPDX-License-Identifier: Apache-2.0
#include "plugin_fixtures.h"

#include "plugin/plugin_internal.h"

void DeviceNodeTest::SetUp() {
    fakehost::reset();
    tmmpio::admin_major = kAdminMajor;
    DevNodeTest::SetUp();
    if (!IsSkipped()) plant();
}

void plantPseudoDeviceC() {
    devfixture::blockNode("/dev/emcpowerc", kAdminMajor, 32);
    devfixture::blockNode("/dev/emcpowerc1", kAdminMajor, 33);
    devfixture::blockNode("/dev/sdb", 8, 16);
}

std::vector<slice> threePartitions() {
    return {{2048, 4096, 0, 1, 0}, {6144, 8192, 0, 2, 0}, {14336, 1024, 0, 3, 0}};
}
