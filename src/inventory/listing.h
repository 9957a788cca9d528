// SPDX-License-Identifier: Apache-2.0
// Lookup in the kernel's listing of pseudo devices without building a map.
#ifndef TMMPIO_INVENTORY_LISTING_H
#define TMMPIO_INVENTORY_LISTING_H

#include <string>

#include "TmMPIO_EMCPowerPath.h"
#include "plugin/plugin_internal.h"

// Runs the partition listing as listMPIODevices does, with the same log
// entries, and answers what a map filled by it would answer for key: 1 and
// the kernel name in name when listed, 0 when not (name untouched), -1 when
// the listing failed (name untouched).
namespace tmmpio {
TMMPIO_INTERNAL int findListedDevice(MpDev key, std::string& name);
} // namespace tmmpio

#endif
