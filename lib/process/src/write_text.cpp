// SPDX-License-Identifier: Apache-2.0
// Writing a text to a descriptor: all of it to a blocking one (writeAll),
// or what a non-blocking pipe takes now (writeSome, for run()'s feed).
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "mpio/process.h"
#include "spawn_internal.h"

namespace mpio::process {

namespace {

// Writes text to fd until all of it is written or a write fails; EINTR is
// retried. Result: 0, or the errno value of the failing write (EIO for one
// that wrote nothing); done gets the bytes written.
int writeFrom(int fd, std::string_view text, std::size_t& done) {
    done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0)
            return EIO;
        else if (errno != EINTR)
            return errno;
    }
    return 0;
}

} // namespace

int writeAll(int fd, std::string_view text) {
    std::size_t done = 0;
    return writeFrom(fd, text, done);
}

std::size_t writeSome(const Fd& fd, std::string_view text, int& error) {
    std::size_t done = 0;
    const int e = writeFrom(fd.get(), text, done);
    error = e == EAGAIN ? 0 : e;
    return done;
}

} // namespace mpio::process
