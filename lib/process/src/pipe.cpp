// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "mpio/process.h"

namespace mpio::process {

int makePipe(Pipe& pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    Pipe made{Fd(fds[0]), Fd(fds[1])};
    for (Fd* end : {&made.read, &made.write}) {
        if (end->get() > 2) continue;
        const int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, 3);
        if (moved < 0) return errno;
        *end = Fd(moved);
    }
    pipe = std::move(made);
    return 0;
}

} // namespace mpio::process
