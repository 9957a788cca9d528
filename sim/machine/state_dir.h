// SPDX-License-Identifier: Apache-2.0
// The state directory of a simulated machine: the names of its files, the
// environment variable that names it to powermt, and its lock.
#ifndef SIM_MACHINE_STATE_DIR_H
#define SIM_MACHINE_STATE_DIR_H

#include "machine/fair_lock.h"

#include <string>

namespace sim {

// The environment variable that names the state directory to powermt.
inline constexpr const char* kStateEnv = "POWERMT_SIM_STATE";

// Names of the files in a state directory.
struct StateDir {
    std::string dir;
    std::string topology() const { return dir + "/topology"; }
    std::string state() const { return dir + "/state"; }
    std::string lock() const { return dir + "/lock"; }
    std::string lockGate() const { return dir + "/lock-gate"; }
    std::string partitions() const { return dir + "/proc-partitions"; }
    std::string devices() const { return dir + "/proc-devices"; }
    std::string custom() const { return dir + "/powermt.custom"; }
    std::string bin() const { return dir + "/bin"; }
    std::string displayCache() const { return dir + "/display-cache"; }
};

// The lock of a state directory: shared for reading, exclusive for a
// change (FairLock). Its count of writers tells any change made by powermt.
inline FairLock lockState(const StateDir& dir, FairLock::Mode mode) {
    return FairLock(dir.lock(), dir.lockGate(), mode);
}

} // namespace sim

#endif
