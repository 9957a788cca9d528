#include "plugin_test_util.h"

#include "plugin/plugin_internal.h"

void DeviceNodeTest::SetUp() {
    fakehost::reset();
    admin_major = kAdminMajor;
    DevNodeTest::SetUp();
}
