// SPDX-License-Identifier: Apache-2.0
// The command lines the plug-in gives the host's process runner, exactly as
// it builds them: the tests, the fuzz targets and the benchmarks answer or
// run these, so a changed pipeline shows up as a failing test.
#ifndef TESTS_SUPPORT_PINNED_COMMANDS_H
#define TESTS_SUPPORT_PINNED_COMMANDS_H

#include <string>

namespace mpiotest {

// The admin major number's discovery, run by init.
inline const std::string kDiscovery = "cat /proc/devices | grep 'power2' | awk '{print $1}'";

// Major, minor and name of every emcpower line of the partition table.
inline const std::string kPartitionListing =
    "cat /proc/partitions | grep \"emcpower\" | awk '{print $1\" \"$2\" \"$4}'";

// powermt with its output through a filter, exiting with powermt's status
// when powermt fails and with the filter's otherwise.
inline std::string filteredPowermt(const std::string& powermt, const std::string& filter) {
    return "{ s=$({ { " + powermt + " 3>&- 4>&-; echo $? >&4; } | " + filter +
           " >&3; } 4>&1); } 3>&1; f=$?; [ \"$s\" = 0 ] && exit $f; exit \"$s\"";
}

// The names of the pseudo devices.
inline const std::string kPseudoListing =
    filteredPowermt("powermt display dev=all", "grep -a 'Pseudo' | awk 'BEGIN {FS=\"=\";} {print $2;}'");

// The sd names of the active and passive paths of one pseudo device.
inline const std::string kPathFilter =
    "awk '!/=/ && NF >= 7 && ($(NF-3) == \"active\" || $(NF-3) == \"passive\") "
    "{ p = $(NF-5); if (p !~ /^sd[a-z]+$/) p = $(NF-6); if (p ~ /^sd[a-z]+$/) print p }'";
inline std::string pathQuery(const std::string& bareName) {
    return filteredPowermt("powermt display dev=" + bareName, kPathFilter);
}

} // namespace mpiotest

#endif // TESTS_SUPPORT_PINNED_COMMANDS_H
