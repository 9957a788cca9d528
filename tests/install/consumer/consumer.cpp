// SPDX-License-Identifier: Apache-2.0
// Loads the installed plug-in with every symbol bound at once (RTLD_NOW), so
// that a host service missing from the program (libTmHost dropped by the
// linker, or a service missing from the installed library) fails the load,
// and prints the project's version and the plug-in's vendor name. It calls
// none of libTmHost's functions itself, as a host whose plug-in is the only
// user of the services.
#include <dlfcn.h>

#include <cstdio>

#include "TmMPIOVersion.h"
#include "TmMPIO_EMCPowerPath.h"
// C++20 (std::span), a standard that the program gets from TmMPIO::TmHost.
#include "tmhost/TmHost.h"

int main() {
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
