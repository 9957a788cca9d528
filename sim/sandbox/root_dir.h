// SPDX-License-Identifier: Apache-2.0
// mpio-sandbox --root DIR: the command runs with DIR as its root file
// system, with the simulated machine laid over it.
#ifndef SIM_SANDBOX_ROOT_DIR_H
#define SIM_SANDBOX_ROOT_DIR_H

#include "machine/state_dir.h"

#include <string>

namespace sim {

// Where the state directory and the simulator, as powermt, appear inside
// the root: on a tmpfs over the root's /run, since nothing may be created
// in DIR itself.
inline constexpr const char* kRootStateDir = "/run/mpio-sandbox/state";
inline constexpr const char* kRootBinDir = "/run/mpio-sandbox/bin";

// The absolute path, without symbolic links, of the directory `dir` given
// with --root. Throws std::runtime_error naming dir when it is no directory.
std::string checkedRootDir(const std::string& dir);

// Makes `root` the root of this mount namespace (pivot_root, so that the
// namespaces of a command that makes its own nest), with this namespace's
// /dev bound over the root's /dev, a fresh /proc showing the state
// directory's files over its /proc, and a tmpfs over its /run holding the
// state directory and the simulator (the target of the state directory's
// bin/powermt link, which the bind follows). Nothing is created in
// root: every mount lies over a directory it has, in this namespace alone.
// Throws std::runtime_error naming root when it cannot be entered or has no
// executable /bin/sh.
void enterRoot(const std::string& root, const StateDir& state);

} // namespace sim

#endif
