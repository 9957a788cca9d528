// SPDX-License-Identifier: Apache-2.0
// Error-checked file operations of the simulator and the sandbox: whole
// files read and written, atomically or in place.
#ifndef SIM_MACHINE_CHECKED_FILES_H
#define SIM_MACHINE_CHECKED_FILES_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
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

// Reads exactly `length` bytes at `offset` into out; false on a failure or
// a file that ends before.
bool readAt(int fd, std::string& out, std::uint64_t offset, std::size_t length);

} // namespace sim

#endif
