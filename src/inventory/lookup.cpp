// SPDX-License-Identifier: Apache-2.0
// Resolution of a path to a pseudo device by the device number of its node.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <string>

#include "TmHostServices.h"
#include "TmMPIO_EMCPowerPath.h"
#include "inventory/device_names.h"
#include "inventory/listing.h"
#include "plugin/device_node.h"
#include "plugin/plugin_internal.h"

using namespace tmmpio;

int FindMpDeviceName(const char* path, std::string& name) {
    if (path == nullptr) {
        name.clear();
        return 0;
    }
    name = path;
    const std::string examined = prepareDevName(name);
    struct stat node;
    if (statNode(examined.c_str(), &node) != 0) {
        const int error = errno;
        EvDebug(nullptr).Debug("FindMpDeviceName", "Stat on %s failed %d %s.", examined.c_str(), error,
                               errnoText(error).c_str());
        return 0;
    }
    // Only a block device can be a pseudo device: a character device or any
    // other node that happens to carry a pseudo device's numbers is not one.
    if (!S_ISBLK(node.st_mode)) return 0;
    // The listing's answer for this one key, without a map of every device.
    const MpDev key(static_cast<int>(major(node.st_rdev)), static_cast<int>(minor(node.st_rdev)));
    return findListedDevice(key, name) == 1 ? 1 : 0;
}

int isMPIODevice(void* /*context*/, const char* path, int* err, char* errbuf) {
    if (!outParamsPresent(err, errbuf)) return -1;
    if (path == nullptr) return refuse(err, errbuf, "isMPIODevice", "no device path given");
    return withoutExceptions(err, errbuf, -1, [&] {
        std::string name;
        return FindMpDeviceName(path, name);
    });
}
