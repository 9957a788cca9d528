// SPDX-License-Identifier: Apache-2.0
// The lock between the processes that read and change a state directory.
#ifndef SIM_MACHINE_FAIR_LOCK_H
#define SIM_MACHINE_FAIR_LOCK_H

#include <cstdint>
#include <string>

namespace sim {

// A readers-writer lock between processes, fair to writers. With flock(2)
// alone, readers whose holds overlap keep a writer out for good; so a
// writer first takes a gate file exclusively, and keeps it, and then the
// lock file, while a reader passes the gate (shared, for a moment) before it
// takes the lock file shared. A reader thus waits while a writer holds or
// awaits the lock, and a writer waits only for the readers already in. Both
// files are created if missing; the lock is given up after timeoutMs and
// released by the destructor. The lock file holds the number of writers
// that have taken it, each counting itself: an answer kept beside the
// locked files can tell that one came since.
class FairLock {
public:
    enum class Mode { Read, Write };
    FairLock(const std::string& lockPath, const std::string& gatePath, Mode mode, int timeoutMs = 30000);
    ~FairLock();
    FairLock(const FairLock&) = delete;
    FairLock& operator=(const FairLock&) = delete;

    std::uint64_t writers() const;

private:
    void release() noexcept;

    int lock_ = -1;
    int gate_ = -1;
};

} // namespace sim

#endif
