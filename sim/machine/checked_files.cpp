// SPDX-License-Identifier: Apache-2.0
#include "machine/checked_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mpio/process.h"

namespace sim {

using mpio::process::Fd;

namespace {

// Writes all of content to fd; throws SysError(what) when it cannot.
void writeOrThrow(const Fd& fd, std::string_view content, const std::string& what) {
    if (const int error = mpio::process::writeAll(fd.get(), content)) throw SysError(what, error);
}

// Closes fd now, reporting a failure (a deferred write error).
void closeReporting(Fd& fd, const std::string& what) {
    if (::close(fd.release()) != 0 && errno != EINTR) throw SysError(what, errno);
}

} // namespace

SysError::SysError(const std::string& what, int error)
    : std::runtime_error(what + ": " + std::strerror(error)), error_(error) {}

std::string readFile(const std::string& path, std::size_t limit, struct stat* seen) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw SysError("cannot open " + path, errno);
    std::string out;
    // One allocation for a regular file's present size; the reads below still decide.
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw SysError("cannot examine " + path, errno);
    if (seen) *seen = st;
    if (S_ISREG(st.st_mode) && st.st_size > 0) out.reserve(std::min(static_cast<std::size_t>(st.st_size), limit));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw SysError("cannot read " + path, errno);
        }
        if (n == 0) break;
        if (out.size() + static_cast<std::size_t>(n) > limit)
            throw std::runtime_error(path + " is larger than " + std::to_string(limit) + " bytes");
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

void writeNewFile(const std::string& path, const std::string& content, unsigned mode) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd.get() < 0) throw SysError("cannot create " + path, errno);
    writeOrThrow(fd, content, "cannot write " + path);
    closeReporting(fd, "cannot write " + path);
}

namespace {

// The content into a new file beside `path`, renamed over it. `keep`: the
// mode and owner to give it (those of the file it replaces).
void replaceAtomically(const std::string& path, const std::string& content, unsigned mode, const struct stat* keep) {
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    ::unlink(temp.c_str());
    try {
        Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, keep ? 0600 : mode));
        if (fd.get() < 0) throw SysError("cannot create " + temp, errno);
        // The owner first: changing it clears the set-user-ID and set-group-ID bits.
        if (keep && (keep->st_uid != ::geteuid() || keep->st_gid != ::getegid()) &&
            ::fchown(fd.get(), keep->st_uid, keep->st_gid) != 0)
            throw SysError("cannot give " + temp + " the owner of " + path, errno);
        if (keep && ::fchmod(fd.get(), keep->st_mode & 07777) != 0)
            throw SysError("cannot give " + temp + " the mode of " + path, errno);
        writeOrThrow(fd, content, "cannot write " + temp);
        if (::fsync(fd.get()) != 0) throw SysError("cannot sync " + temp, errno);
        closeReporting(fd, "cannot write " + temp);
        if (::rename(temp.c_str(), path.c_str()) != 0) throw SysError("cannot rename " + temp + " to " + path, errno);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
}

// What a user's file may not be, by its type; nothing when it may be written.
const char* unwritableKind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return nullptr;
}

void refuseUnwritable(const std::string& path, mode_t mode) {
    if (const char* kind = unwritableKind(mode))
        throw std::runtime_error("cannot write " + path + ": " + kind +
                                 "; give a regular file, a character device or a FIFO");
}

// Writes through `path` to what it is or links to, which stays in place: a
// character device, a FIFO, or the regular file at the end of a link.
void writeThrough(const std::string& path, const std::string& content) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) refuseUnwritable(path, st.st_mode);
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0644));
    if (fd.get() < 0) throw SysError("cannot open " + path, errno);
    if (::fstat(fd.get(), &st) != 0) throw SysError("cannot examine " + path, errno);
    refuseUnwritable(path, st.st_mode); // changed since it was examined
    if (S_ISREG(st.st_mode) && ::ftruncate(fd.get(), 0) != 0) throw SysError("cannot truncate " + path, errno);
    writeOrThrow(fd, content, "cannot write " + path);
    closeReporting(fd, "cannot write " + path);
}

} // namespace

void writeFileAtomic(const std::string& path, const std::string& content, unsigned mode) {
    replaceAtomically(path, content, mode, nullptr);
}

void writeUserFile(const std::string& path, const std::string& content) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) throw SysError("cannot examine " + path, errno);
        return replaceAtomically(path, content, 0644, nullptr);
    }
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1) return writeThrough(path, content);
    try {
        replaceAtomically(path, content, 0644, &st);
    } catch (const SysError& e) {
        // Only root gives a file away: a user's own copy of another's file
        // is written in place instead, as a shell's redirection would.
        if (e.error() != EPERM) throw;
        writeThrough(path, content);
    }
}

void rewriteInPlace(const std::string& path, const std::string& content) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0) throw SysError("cannot open " + path, errno);
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::pwrite(fd.get(), content.data() + done, content.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw SysError("cannot write " + path, errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0)
        throw SysError("cannot truncate " + path, errno);
    closeReporting(fd, "cannot write " + path);
}

bool readAt(int fd, std::string& out, std::uint64_t offset, std::size_t length) {
    out.resize(length);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, out.data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace sim
