// SPDX-License-Identifier: Apache-2.0
// What `powermt display` prints, kept beside the state it was made from.
//
// A display otherwise parses the whole topology, which on a machine of
// 10,000 devices costs far more than the process that asks. The first
// display after a change writes every configured device's block into one
// file, headed by the stamp of what it was made from (SourceStamp: the
// lock's count of writers and the identities of the topology and state
// files); later displays answer from that file while the stamp is still
// that of the files, which costs two stat calls, and parse as before once
// anything changed, however it was changed. No cache is written while a
// change could still keep a file's identity (within the clock tick of its
// last change). A cache is only written by a display that no fault stood
// in for, and a fault lives in one of the two files, so a cached answer
// never skips one.
#ifndef SIM_POWERMT_DISPLAY_CACHE_H
#define SIM_POWERMT_DISPLAY_CACHE_H

#include "machine/load.h"

#include <cstdint>
#include <optional>
#include <string>

namespace sim {

// What powermt's answers derive from: the topology and state files as they
// are, and the count of the writers that took the lock. No change made by
// powermt keeps the count, and no other write keeps a file's identity
// (the change time, which no user can set, moves), so no change keeps the
// stamp, however the file is written.
struct SourceStamp {
    std::uint64_t writers = 0;
    FileIdentity topology;
    FileIdentity state;
    bool operator==(const SourceStamp&) const = default;
};

// The stamp of the topology and state files as they are now, with
// `writers` from the lock; nothing when either cannot be examined.
std::optional<SourceStamp> currentStamp(const StateDir& dir, std::uint64_t writers);

// Replaces the cache with the blocks of loaded's configured devices, under
// the identities of loaded's files and `writers`; writes nothing unless
// loaded is settled.
void writeDisplayCache(const StateDir& dir, const Loaded& loaded, std::uint64_t writers);

struct CachedDisplay {
    bool configured = false; // false: the device is not a configured one
    std::string text;        // its block, or every block for "all"
};

// The cache's answer for `device` (a pseudo device name, or "all"; an empty
// name stands for one that is never configured), when the cache exists, is
// whole and carries the stamp of the files now (with `writers`).
std::optional<CachedDisplay> cachedDisplay(const StateDir& dir, std::uint64_t writers, const std::string& device);

} // namespace sim

#endif
