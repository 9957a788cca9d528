// SPDX-License-Identifier: Apache-2.0
// Loads the installed plug-in with every symbol bound at once (RTLD_NOW), so
// that a host service missing from the installed libTmHost fails the load,
// and prints the project's version and the plug-in's vendor name.
#include <dlfcn.h>

#include <cstdio>

#include "TmMPIOVersion.h"
#include "TmMPIO_EMCPowerPath.h"
#include "tmhost/TmHost.h"

int main() {
    tmhost::setDefaultTimeout(5);
    void* plugin = dlopen(CONSUMER_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    if (!plugin) {
        std::fprintf(stderr, "consumer: %s\n", dlerror());
        return 1;
    }
    using VendorName = decltype(&getVendorName);
    const auto vendorName = reinterpret_cast<VendorName>(dlsym(plugin, "getVendorName"));
    if (!vendorName) {
        std::fprintf(stderr, "consumer: no getVendorName in %s\n", CONSUMER_PLUGIN);
        return 1;
    }
    std::printf("%s %s\n", TMMPIO_VERSION_STRING, vendorName());
    return 0;
}
