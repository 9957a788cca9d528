// SPDX-License-Identifier: Apache-2.0
// What a file is, to tell whether it changed since it was read.
#ifndef SIM_MACHINE_FILE_IDENTITY_H
#define SIM_MACHINE_FILE_IDENTITY_H

#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <optional>
#include <string>

namespace sim {

// What a file is: its identity and times. A write changes its change time,
// which no user can set, and a replacement its inode.
struct FileIdentity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modifiedSec = 0, changedSec = 0;
    std::int64_t modifiedNsec = 0, changedNsec = 0;
    bool operator==(const FileIdentity&) const = default;
};
FileIdentity identityOf(const struct stat& st);
// The identity of the file at `path` now; nothing when it cannot be examined.
std::optional<FileIdentity> identityOf(const std::string& path);

// Whether every later change of a file is sure to get a change time other
// than the one in `file`: it was made in an earlier tick of the clock that
// file times come from than `coarseNow`, CLOCK_REALTIME_COARSE read before
// the file was examined. A file system that keeps whole seconds (a change
// time without nanoseconds) needs two seconds to have passed.
bool changedBefore(const FileIdentity& file, const struct timespec& coarseNow);

} // namespace sim

#endif
