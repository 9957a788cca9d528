// SPDX-License-Identifier: Apache-2.0
// A process outside the sandbox that finishes its clean-up when the launcher
// cannot (it was killed with SIGKILL): it removes the loop devices that the
// launcher added and the launcher's temporary state directory.
#ifndef SIM_SANDBOX_CLEANUP_GUARD_H
#define SIM_SANDBOX_CLEANUP_GUARD_H

#include <string>

#include "mpio/process.h"

// Hidden as the process library's types that it holds.
#pragma GCC visibility push(hidden)

namespace sim {

class CleanupGuard {
public:
    CleanupGuard() = default;
    ~CleanupGuard() { dismiss(); }

    // Starts the guard (this program in kCleanupGuardMode), which gets
    // `loopControlFd` (or none for -1). It waits until every copy of its
    // pipe is closed: the launcher's, and the one the init holds.
    void start(int loopControlFd);
    // The launcher's end of the pipe, for a process that the guard must
    // outwait to hold (-1 before start).
    int pipeEnd() const { return pipe_.get(); }
    // What the guard removes unless dismissed: a loop device that the
    // launcher is about to add (told before it is added, so that no moment
    // is left in which a SIGKILL leaves it behind), and the temporary state
    // directory. loopNotAdded withdraws a loop device that already existed.
    void loopAdding(unsigned number);
    void loopNotAdded(unsigned number);
    void temporaryDir(const std::string& dir);
    // The launcher has cleaned up itself: the guard ends doing nothing, and
    // is waited for.
    void dismiss() noexcept;

private:
    void tell(const std::string& record) noexcept;

    mpio::process::Child child_;
    mpio::process::Fd pipe_;
};

// The guard's main, in kCleanupGuardMode: the records come on descriptor 3,
// and descriptor 4 is /dev/loop-control when the launcher had it open.
int cleanupGuardMain();

} // namespace sim

#pragma GCC visibility pop

#endif
