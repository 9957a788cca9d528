// SPDX-License-Identifier: Apache-2.0
// The command lines the plug-in gives the host's process runner, exactly as
// it builds them: the tests, the fuzz targets and the benchmarks answer or
// run these, so a changed pipeline shows up as a failing test.
#ifndef TESTS_SUPPORT_PINNED_COMMANDS_H
#define TESTS_SUPPORT_PINNED_COMMANDS_H

#include <string>

namespace pinned {

// The admin major number's discovery, run by init.
inline const std::string kDiscovery = "cat /proc/devices | grep 'power2' | awk '{print $1}'";

// Major, minor and name of every emcpower line of the partition table.
inline const std::string kPartitionListing =
    "cat /proc/partitions | grep \"emcpower\" | awk '{print $1\" \"$2\" \"$4}'";

// The names of the pseudo devices.
inline const std::string kPseudoListing =
    "powermt display dev=all | grep -a 'Pseudo' | awk 'BEGIN {FS=\"=\";} {print $2;}'";

// The sd names of the active and passive paths of one pseudo device.
inline std::string pathQuery(const std::string& bareName) {
    return "powermt display dev=" + bareName +
           " | grep -a -v '=' | grep -a 'sd' | awk '/active|passive/ { print $3 }' ";
}

} // namespace pinned

#endif // TESTS_SUPPORT_PINNED_COMMANDS_H
