#include "sysfiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace sim {

SysError::SysError(const std::string& what, int error)
    : std::runtime_error(what + ": " + std::strerror(error)), error_(error) {}

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now, reporting a failure (a deferred write error).
    void close(const std::string& what) {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR) throw SysError(what, errno);
    }

private:
    int fd_;
};

} // namespace

void writeAll(int fd, const char* data, std::size_t size, const std::string& what) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw SysError(what, errno);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::string readFile(const std::string& path, std::size_t limit) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw SysError("cannot open " + path, errno);
    std::string out;
    // One allocation for a regular file's present size; the reads below still decide.
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        out.reserve(std::min(static_cast<std::size_t>(st.st_size), limit));
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
    writeAll(fd.get(), content.data(), content.size(), "cannot write " + path);
    fd.close("cannot write " + path);
}

void writeFileAtomic(const std::string& path, const std::string& content, unsigned mode) {
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    ::unlink(temp.c_str());
    try {
        Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (fd.get() < 0) throw SysError("cannot create " + temp, errno);
        writeAll(fd.get(), content.data(), content.size(), "cannot write " + temp);
        if (::fsync(fd.get()) != 0) throw SysError("cannot sync " + temp, errno);
        fd.close("cannot write " + temp);
        if (::rename(temp.c_str(), path.c_str()) != 0) throw SysError("cannot rename " + temp + " to " + path, errno);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
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
    if (::ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0) throw SysError("cannot truncate " + path, errno);
    fd.close("cannot write " + path);
}

FileLock::FileLock(const std::string& path, bool exclusive, int timeoutMs) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) throw SysError("cannot open lock file " + path, errno);
    const int op = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    for (int waited = 0;; waited += 10) {
        if (::flock(fd_, op) == 0) return;
        const int error = errno;
        if (error != EWOULDBLOCK && error != EINTR) {
            ::close(fd_);
            throw SysError("cannot lock " + path, error);
        }
        if (waited >= timeoutMs) {
            ::close(fd_);
            throw std::runtime_error("timed out waiting for the lock on " + path);
        }
        const timespec pause{0, 10 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_); // closing releases the lock
}

} // namespace sim
