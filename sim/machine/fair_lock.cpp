// SPDX-License-Identifier: Apache-2.0
#include "machine/fair_lock.h"

#include "machine/checked_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace sim {

using Clock = std::chrono::steady_clock;

namespace {

// flock(2) of `fd` as `op`, tried until the deadline; pauses grow from 1 to
// 10 ms, so that a lock held for a moment is taken at once.
void flockBefore(int fd, int op, Clock::time_point deadline, const std::string& path) {
    for (long pauseUs = 1000;; pauseUs = std::min(pauseUs * 2, 10000L)) {
        if (::flock(fd, op | LOCK_NB) == 0) return;
        if (errno != EWOULDBLOCK && errno != EINTR) throw SysError("cannot lock " + path, errno);
        if (Clock::now() >= deadline) throw std::runtime_error("timed out waiting for the lock on " + path);
        const timespec pause{0, pauseUs * 1000};
        ::nanosleep(&pause, nullptr);
    }
}

int openLockFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw SysError("cannot open lock file " + path, errno);
    return fd;
}

// The count of writers: a fixed-width decimal number at the start of the
// lock file, which is empty before the first writer.
constexpr std::size_t kCountWidth = 20;

std::uint64_t readCount(int fd) {
    char text[kCountWidth] = {};
    const ssize_t n = ::pread(fd, text, sizeof text, 0);
    std::uint64_t count = 0;
    if (n > 0) std::from_chars(text, text + n, count);
    return count;
}

void writeCount(int fd, std::uint64_t count, const std::string& path) {
    char text[kCountWidth + 2];
    std::snprintf(text, sizeof text, "%020llu\n", static_cast<unsigned long long>(count));
    if (::pwrite(fd, text, kCountWidth + 1, 0) != static_cast<ssize_t>(kCountWidth + 1))
        throw SysError("cannot write " + path, errno);
}

} // namespace

FairLock::FairLock(const std::string& lockPath, const std::string& gatePath, Mode mode, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    try {
        gate_ = openLockFile(gatePath);
        lock_ = openLockFile(lockPath);
        const bool writer = mode == Mode::Write;
        flockBefore(gate_, writer ? LOCK_EX : LOCK_SH, deadline, lockPath);
        flockBefore(lock_, writer ? LOCK_EX : LOCK_SH, deadline, lockPath);
        if (writer) {
            writeCount(lock_, readCount(lock_) + 1, lockPath);
        } else {
            ::close(gate_); // passed: the next writer waits only for this reader
            gate_ = -1;
        }
    } catch (...) {
        release();
        throw;
    }
}

FairLock::~FairLock() { release(); }

void FairLock::release() noexcept {
    // Closing releases the locks, the lock file's first.
    if (lock_ >= 0) ::close(lock_);
    if (gate_ >= 0) ::close(gate_);
    lock_ = gate_ = -1;
}

std::uint64_t FairLock::writers() const { return readCount(lock_); }

} // namespace sim
