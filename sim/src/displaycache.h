// SPDX-License-Identifier: Apache-2.0
// What `powermt display` prints, kept beside the state it was made from.
//
// A display otherwise parses the whole topology, which on a machine of
// 10,000 devices costs far more than the process that asks. The first
// display after a change writes every configured device's block into one
// file, headed by the stamp of the topology and state texts it came from;
// later displays answer from that file while the two texts still have that
// stamp, and parse as before once either changed, however it was changed.
// A cache is only written by a display that no fault stood in for, and a
// fault lives in one of the two texts, so a cached answer never skips one.
#ifndef SIM_DISPLAYCACHE_H
#define SIM_DISPLAYCACHE_H

#include "simstate.h"

#include <optional>
#include <string>

namespace sim {

// The stamp of the topology and state files as they are now; nothing when
// either cannot be read.
std::optional<SourceStamp> currentStamp(const StateDir& dir);

// Replaces the cache with the blocks of loaded's configured devices.
void writeDisplayCache(const StateDir& dir, const Loaded& loaded);

struct CachedDisplay {
    bool configured = false; // false: the device is not a configured one
    std::string text;        // its block, or every block for "all"
};

// The cache's answer for `device` (a pseudo device name, or "all"; an empty
// name stands for one that is never configured), when the cache exists, is
// whole and carries the stamp of the files now.
std::optional<CachedDisplay> cachedDisplay(const StateDir& dir, const std::string& device);

} // namespace sim

#endif
