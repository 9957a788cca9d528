// A process outside the sandbox that finishes its clean-up when the launcher
// cannot (it was killed with SIGKILL): it removes the loop devices that the
// launcher added and the launcher's temporary state directory.
#ifndef SIM_CLEANUPGUARD_H
#define SIM_CLEANUPGUARD_H

#include <sys/types.h>

#include <string>

namespace sim {

class CleanupGuard {
public:
    CleanupGuard() = default;
    ~CleanupGuard() { dismiss(); }
    CleanupGuard(const CleanupGuard&) = delete;
    CleanupGuard& operator=(const CleanupGuard&) = delete;

    // Forks the guard, which keeps `loopControlFd` (or -1). It waits until
    // every copy of its pipe is closed: the launcher's, and that of the
    // launcher's children that do not run another program.
    void start(int loopControlFd);
    // What the guard removes unless dismissed.
    void loopAdded(unsigned number);
    void temporaryDir(const std::string& dir);
    // The launcher has cleaned up itself: the guard ends doing nothing, and
    // is waited for.
    void dismiss() noexcept;

private:
    void tell(const std::string& record) noexcept;

    pid_t pid_ = -1;
    int pipe_ = -1;
};

} // namespace sim

#endif
