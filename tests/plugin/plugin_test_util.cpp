#include "plugin_test_util.h"

#include "plugin/plugin_internal.h"

// The plug-in's internals, as the tests reach them.
using namespace tmmpio;

void DeviceNodeTest::SetUp() {
    fakehost::reset();
    admin_major = kAdminMajor;
    DevNodeTest::SetUp();
}
