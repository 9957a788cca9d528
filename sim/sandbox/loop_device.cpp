// SPDX-License-Identifier: Apache-2.0
#include "sandbox/loop_device.h"

#include "machine/checked_files.h"
#include "machine/device_names.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {
namespace {

void fillInfo(loop_info64& info, const std::string& image) {
    std::memset(&info, 0, sizeof info);
    info.lo_flags = LO_FLAGS_AUTOCLEAR | LO_FLAGS_READ_ONLY;
    std::strncpy(reinterpret_cast<char*>(info.lo_file_name), image.c_str(), LO_NAME_SIZE - 1);
}

std::runtime_error busy(unsigned number, const std::string& forWhat) {
    return std::runtime_error("loop device /dev/loop" + std::to_string(number) + ", needed for " + forWhat +
                              ", is already in use (see losetup -a)");
}

} // namespace

LoopDevice::LoopDevice(int controlFd, unsigned number, const std::string& scratchNode, const std::string& image,
                       const std::string& forWhat)
    : controlFd_(controlFd), number_(number) {
    const int added = ::ioctl(controlFd, LOOP_CTL_ADD, static_cast<long>(number));
    if (added >= 0)
        added_ = true;
    else if (errno != EEXIST)
        throw SysError("cannot add loop device " + std::to_string(number), errno);

    try {
        ::unlink(scratchNode.c_str());
        if (::mknod(scratchNode.c_str(), S_IFBLK | 0600, makedev(kLoopMajor, number)) != 0)
            throw SysError("cannot create " + scratchNode, errno);
        fd_ = ::open(scratchNode.c_str(), O_RDWR | O_CLOEXEC);
        const int openError = errno;
        ::unlink(scratchNode.c_str());
        if (fd_ < 0) throw SysError("cannot open loop device " + std::to_string(number), openError);

        const int imageFd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
        if (imageFd < 0) throw SysError("cannot open image " + image, errno);
        loop_config config{};
        config.fd = static_cast<__u32>(imageFd);
        fillInfo(config.info, image);
        int rc = ::ioctl(fd_, LOOP_CONFIGURE, &config);
        int error = errno;
        if (rc != 0 && (error == EINVAL || error == ENOTTY)) { // a kernel before 5.8
            rc = ::ioctl(fd_, LOOP_SET_FD, imageFd);
            error = errno;
            if (rc == 0) {
                loop_info64 info;
                fillInfo(info, image);
                if (::ioctl(fd_, LOOP_SET_STATUS64, &info) != 0) {
                    error = errno;
                    ::ioctl(fd_, LOOP_CLR_FD, 0);
                    rc = -1;
                }
            }
        }
        ::close(imageFd);
        if (rc != 0) {
            if (error == EBUSY) throw busy(number, forWhat);
            throw SysError("cannot attach " + image + " to loop device " + std::to_string(number), error);
        }
    } catch (...) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (added_) ::ioctl(controlFd_, LOOP_CTL_REMOVE, static_cast<long>(number_));
        throw;
    }
}

LoopDevice::~LoopDevice() { detach(); }

void LoopDevice::detach() noexcept {
    if (fd_ < 0) return;
    ::ioctl(fd_, LOOP_CLR_FD, 0); // with other openers the kernel detaches at their last close
    ::close(fd_);
    fd_ = -1;
    if (!added_) return;
    // Detaching can finish just after the close; give it a moment.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (::ioctl(controlFd_, LOOP_CTL_REMOVE, static_cast<long>(number_)) >= 0 || errno != EBUSY) break;
        const timespec pause{0, 10 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    added_ = false;
}

bool loopAttached(unsigned number) {
    struct stat st {};
    return ::stat(("/sys/block/loop" + std::to_string(number) + "/loop/backing_file").c_str(), &st) == 0;
}

bool loopExists(unsigned number) {
    struct stat st {};
    return ::stat(("/sys/block/loop" + std::to_string(number)).c_str(), &st) == 0;
}

} // namespace sim
