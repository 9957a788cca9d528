// SPDX-License-Identifier: Apache-2.0
// Error-checked file operations of the simulator and the sandbox.
#ifndef SIM_MACHINE_CHECKED_FILES_H
#define SIM_MACHINE_CHECKED_FILES_H

#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sim {

// A failed system call: the message ends in strerror(errno).
class SysError : public std::runtime_error {
public:
    SysError(const std::string& what, int error);
    int error() const { return error_; }

private:
    int error_;
};

inline constexpr std::size_t kMaxTextFile = 16 * 1024 * 1024;

// Reads a whole file of at most `limit` bytes; `seen`, when given, gets
// what fstat said of it before it was read.
std::string readFile(const std::string& path, std::size_t limit = kMaxTextFile, struct stat* seen = nullptr);

// Replaces `path` by a file with `content`: written beside it, synced, renamed.
void writeFileAtomic(const std::string& path, const std::string& content, unsigned mode = 0644);

// Writes a file that a user named (an --output FILE, a file= argument). A
// regular file is replaced atomically as above, keeping its mode and owner
// (it is written in place when it has other hard links or its owner cannot
// be kept); a new file is made with mode 0644 less the umask. A symbolic
// link, a character device or a FIFO is written through and stays what it
// is; a directory, a block device or a socket is refused, naming it.
void writeUserFile(const std::string& path, const std::string& content);

// Rewrites the existing file `path` in place (same inode): the content from
// offset 0, then truncated to its length. For files that are bind-mounted.
void rewriteInPlace(const std::string& path, const std::string& content);

// Writes a new file, which must not exist yet.
void writeNewFile(const std::string& path, const std::string& content, unsigned mode = 0644);

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

// What a file is: its identity and times. A write changes its change time,
// which no user can set, and a replacement its inode.
struct FileIdentity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modifiedSec = 0, changedSec = 0;
    std::int64_t modifiedNsec = 0, changedNsec = 0;
    bool operator==(const FileIdentity&) const = default;
};
FileIdentity identityOf(const struct stat& st);
// The identity of the file at `path` now; nothing when it cannot be examined.
std::optional<FileIdentity> identityOf(const std::string& path);

// Whether every later change of a file is sure to get a change time other
// than the one in `file`: it was made in an earlier tick of the clock that
// file times come from than `coarseNow`, CLOCK_REALTIME_COARSE read before
// the file was examined. A file system that keeps whole seconds (a change
// time without nanoseconds) needs two seconds to have passed.
bool changedBefore(const FileIdentity& file, const struct timespec& coarseNow);

// Reads exactly `length` bytes at `offset` into out; false on a failure or
// a file that ends before.
bool readAt(int fd, std::string& out, std::uint64_t offset, std::size_t length);

// Writes all of `data` to fd, retrying short writes and EINTR.
void writeAll(int fd, const char* data, std::size_t size, const std::string& what);

} // namespace sim

#endif
