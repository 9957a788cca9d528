// SPDX-License-Identifier: Apache-2.0
// Removing a temporary directory tree without ever reaching into a file
// system mounted inside it: whatever a command mounted there (a bind mount of
// a host folder, say) must lose nothing when the directory goes.
#ifndef MPIO_TREE_REMOVAL_H
#define MPIO_TREE_REMOVAL_H

#include <string>
#include <string_view>
#include <vector>

namespace mpio::tree {

// The mount points of /proc/self/mountinfo text that are `dir` or lie below
// it, deepest first (a mount stacked twice on one point is listed twice).
// `dir` is an absolute path without a trailing '/'.
std::vector<std::string> mountPointsAtOrBelow(std::string_view mountinfo, const std::string& dir);

// Detaches (umount2 MNT_DETACH) every mount of this mount namespace at or
// below `dir`, deepest first. What cannot be detached stays; the removal
// below refuses to enter it.
void detachMountsAtOrBelow(const std::string& dir) noexcept;

// Removes `dir` and everything in it, entering no directory and unlinking
// nothing that lies on another mount than `dir` itself (nor `dir` when it is
// a mount point), following no symbolic link. Any depth: it does not
// recurse and holds one directory open at a time. Returns what was left and
// why; empty when all is gone.
std::string removeTreeWithinItsMount(const std::string& dir) noexcept;

// What temporary directories use: detach what is mounted below `dir`, then
// remove it within its mount. Returns what was left, as above.
std::string removeTemporaryTree(const std::string& dir) noexcept;

} // namespace mpio::tree

#endif
