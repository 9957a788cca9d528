// SPDX-License-Identifier: Apache-2.0
// Partition naming and the functor that turns the host reader's slices into
// the host's partition records.
#ifndef TMMPIO_PARTITIONS_INTERNAL_H
#define TMMPIO_PARTITIONS_INTERNAL_H

#include <string>

#include "TmHostServices.h"
#include "TmMPIO_EMCPowerPath.h"
#include "plugin/plugin_internal.h"

namespace tmmpio {

// The letters after "/dev/emcpower" in the node name of the pseudo device
// with this index: a to z, then aa to zz, then aaa, and so on, so that
// every index has a name of its own. Negative indices are treated as 0.
TMMPIO_INTERNAL std::string getAAName(long index);

// Writes one record per slice into the caller's array, in the order it is
// applied, until the array's capacity is used up; later slices are ignored.
class TMMPIO_INTERNAL EPartIterator {
public:
    EPartIterator(std::string devPath, int major, int minor, TmPartInfo* parts, int capacity);
    void operator()(slice s);

    int written;
    int major;
    int minor;
    std::string devPath;
    int capacity;
    TmPartInfo* parts;
};

} // namespace tmmpio

#endif
