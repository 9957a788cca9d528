// SPDX-License-Identifier: Apache-2.0
// Error-checked file operations of the simulator and the sandbox.
#ifndef SIM_SYSFILES_H
#define SIM_SYSFILES_H

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

// Reads a whole file of at most `limit` bytes.
std::string readFile(const std::string& path, std::size_t limit = kMaxTextFile);

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

// flock(2) on a lock file, created if missing; released by the destructor.
class FileLock {
public:
    FileLock(const std::string& path, bool exclusive, int timeoutMs = 30000);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

// A 64-bit digest of a text, to tell whether a file changed; not for
// security.
std::uint64_t contentHash(std::string_view bytes);
// contentHash of a regular file's bytes; nothing when it cannot be read.
std::optional<std::uint64_t> hashFile(const std::string& path);

// Reads exactly `length` bytes at `offset` into out; false on a failure or
// a file that ends before.
bool readAt(int fd, std::string& out, std::uint64_t offset, std::size_t length);

// Writes all of `data` to fd, retrying short writes and EINTR.
void writeAll(int fd, const char* data, std::size_t size, const std::string& what);

} // namespace sim

#endif
