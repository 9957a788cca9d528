// SPDX-License-Identifier: Apache-2.0
// Loop devices that back disk-backed pseudo devices.
#ifndef SIM_SANDBOX_LOOP_DEVICE_H
#define SIM_SANDBOX_LOOP_DEVICE_H

#include <string>

namespace sim {

// One attached loop device, held open; read-only, with LO_FLAGS_AUTOCLEAR
// so that it detaches when the last descriptor closes (also if the holder
// is killed). detach() (or the destructor) detaches it explicitly and
// removes a loop device that attach() had to add.
class LoopDevice {
public:
    // Adds loop device `number` through the open /dev/loop-control `controlFd`
    // when it does not exist, opens it through a temporary node at
    // `scratchNode` and attaches `image` to it. Throws with a clear message
    // when the device is in use.
    LoopDevice(int controlFd, unsigned number, const std::string& scratchNode, const std::string& image,
               const std::string& forWhat);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    void detach() noexcept;
    unsigned number() const { return number_; }
    // Whether it was added through loop-control (detach() removes it again).
    bool added() const { return added_; }

private:
    int controlFd_;
    unsigned number_;
    int fd_ = -1;
    bool added_ = false;
};

// Whether loop device `number` has a backing file now (from sysfs).
bool loopAttached(unsigned number);
// Whether loop device `number` exists (from sysfs; false without sysfs).
bool loopExists(unsigned number);

} // namespace sim

#endif
