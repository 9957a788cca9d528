// SPDX-License-Identifier: Apache-2.0
// The sandbox's /dev and /proc, and the checked file system calls that making the
// sandbox uses.
#ifndef SIM_SANDBOX_DEV_TREE_H
#define SIM_SANDBOX_DEV_TREE_H

#include <sys/types.h>

#include <string>

#include "machine/state_dir.h"
#include "machine/topology.h"

namespace sim {

// mount(2), mkdir(2) and symlink(2) that throw SysError on failure.
void mountOrThrow(const char* source, const std::string& target, const char* type, unsigned long flags,
                  const char* data, const std::string& what);
void mkdirOrThrow(const std::string& path, mode_t mode);
void symlinkOrThrow(const std::string& target, const std::string& path);

// Makes the directory `dev` and mounts there a tmpfs holding what every
// /dev has: null, zero, full, random, urandom, tty, the fd links, shm, pts
// when the host has devpts, and loop-control when asked for.
void makeBasicDevTree(const std::string& dev, bool withLoopControl);

// Fills the new tree at `dev` with the block nodes and by-id links that
// syncNodes (machine/node_sync.h) keeps: every sd path and its partitions, every
// configured pseudo device and its partitions with their links. One
// mknodat or symlinkat per entry, relative to an open directory, and
// nothing looked up first, since the tree is new; a name that exists is an
// error.
void makeDeviceNodes(const std::string& dev, const Topology& topology, const NameSet& configured);

// Moves the tree at `dev` over this mount namespace's /dev.
void moveOverDev(const std::string& dev);

// Mounts a proc of the caller's PID namespace at `proc` and binds the state
// directory's files read-only over its partitions and devices.
void mountSimulatedProc(const StateDir& state, const std::string& proc);

} // namespace sim

#endif
