// Helpers shared by the host stand-in's sources.
#ifndef TMHOST_SRC_INTERNAL_H
#define TMHOST_SRC_INTERNAL_H

#include <unistd.h>

#include <string>
#include <utility>

// Not exported from the library.
namespace tmhost {
namespace __attribute__((visibility("hidden"))) detail {

// The description of an errno value ("No such file or directory"), or
// "error N" for an unknown one. Thread-safe.
std::string errnoText(int error);

// The description of a signal ("Killed"), or "signal N". Thread-safe.
std::string signalText(int signal);

// An owned file descriptor, closed on destruction. close(2) is not retried on
// EINTR: Linux releases the descriptor whatever it returns.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

} // namespace detail
} // namespace tmhost

#endif // TMHOST_SRC_INTERNAL_H
