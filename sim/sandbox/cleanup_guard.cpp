// SPDX-License-Identifier: Apache-2.0
#include "sandbox/cleanup_guard.h"

#include "machine/checked_files.h"
#include "mpio/tree_removal.h"
#include "sandbox/command_line.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <string_view>
#include <vector>

namespace sim {

namespace process = mpio::process;

namespace {

// The descriptors that the guard is handed.
constexpr int kRecordsFd = 3;
constexpr int kLoopControlFd = 4;

// Records on the pipe, each ended by a NUL (paths hold no NUL).
constexpr char kLoopRecord = 'L';
constexpr char kNotAddedRecord = 'K';
constexpr char kDirRecord = 'D';
constexpr std::string_view kDoneRecord = "done";

// Descendants of a killed launcher die a moment after it; their last close
// of a loop device detaches it, and only then can it be removed.
constexpr int kLoopWaitMs = 10000;
constexpr int kDirAttempts = 20;

void pauseMs(long ms) {
    const timespec pause{ms / 1000, (ms % 1000) * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
}

std::vector<std::string> readRecordsUntilEof(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    std::vector<std::string> records;
    for (std::size_t pos = 0, end; (end = text.find('\0', pos)) != std::string::npos; pos = end + 1)
        records.push_back(text.substr(pos, end - pos));
    return records;
}

void removeAddedLoop(int loopControlFd, unsigned long number) {
    for (int waited = 0; waited < kLoopWaitMs; waited += 20) {
        if (::ioctl(loopControlFd, LOOP_CTL_REMOVE, number) >= 0 || errno != EBUSY) return;
        pauseMs(20);
    }
    std::fprintf(stderr, "mpio-sandbox: loop device /dev/loop%lu stays busy; not removed\n", number);
}

void removeLeftDir(const std::string& dir) {
    std::string left;
    for (int attempt = 0; attempt < kDirAttempts; ++attempt) {
        if ((left = mpio::tree::removeTemporaryTree(dir)).empty()) return;
        pauseMs(100); // files of processes still dying
    }
    std::fprintf(stderr, "mpio-sandbox: cannot remove %s: %s\n", dir.c_str(), left.c_str());
}

} // namespace

int cleanupGuardMain() {
    const int loopControlFd = ::fcntl(kLoopControlFd, F_GETFD) >= 0 ? kLoopControlFd : -1;
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO); // whoever reads the launcher's output sees its end with the launcher's
    }
    (void)!::chdir("/");
    try {
        const std::vector<std::string> records = readRecordsUntilEof(kRecordsFd);
        for (const auto& r : records)
            if (r == kDoneRecord) return 0;
        std::set<unsigned long> added;
        for (const auto& r : records) {
            if (!r.empty() && r[0] == kLoopRecord) added.insert(std::stoul(r.substr(1)));
            if (!r.empty() && r[0] == kNotAddedRecord) added.erase(std::stoul(r.substr(1)));
        }
        if (loopControlFd >= 0)
            for (const unsigned long number : added) removeAddedLoop(loopControlFd, number);
        for (const auto& r : records)
            if (!r.empty() && r[0] == kDirRecord) removeLeftDir(r.substr(1));
        return 0;
    } catch (...) {
        return 1;
    }
}

void CleanupGuard::start(int loopControlFd) {
    process::Pipe records;
    if (const int e = process::makePipe(records); e != 0) throw SysError("pipe", e);
    process::Launch launch = launchSelf(kCleanupGuardMode);
    launch.passDescriptors = {records.read.get()};
    if (loopControlFd >= 0) launch.passDescriptors.push_back(loopControlFd);
    // It ends when its work is done, not by a signal to the group.
    sigset_t all;
    sigfillset(&all);
    launch.signalMask = all;
    process::Result failure;
    child_ = process::spawn(launch, failure);
    if (!child_) throw SysError(std::string("cannot start the clean-up guard (") + failure.call + ")", failure.code);
    pipe_ = std::move(records.write);
}

void CleanupGuard::loopAdding(unsigned number) { tell(kLoopRecord + std::to_string(number)); }

void CleanupGuard::loopNotAdded(unsigned number) { tell(kNotAddedRecord + std::to_string(number)); }

void CleanupGuard::temporaryDir(const std::string& dir) { tell(kDirRecord + dir); }

void CleanupGuard::tell(const std::string& record) noexcept {
    if (!pipe_) return;
    const std::string data = record + '\0';
    try {
        // A guard that is gone cannot clean up; the launcher still does.
        (void)process::writeAll(pipe_.get(), data);
    } catch (...) {
        // Out of memory for the record: as with a guard that is gone.
    }
}

void CleanupGuard::dismiss() noexcept {
    if (!pipe_) return;
    tell(std::string(kDoneRecord));
    pipe_.reset();
    child_.reap();
}

} // namespace sim
