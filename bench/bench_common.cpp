// SPDX-License-Identifier: Apache-2.0
#include "bench_common.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace bench {

namespace {

// Reads fd to its end; the bytes are counted and, if asked, kept.
std::size_t drain(int fd, std::string* kept) {
    static thread_local std::vector<char> chunk(256 * 1024);
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n > 0) {
            total += static_cast<std::size_t>(n);
            if (kept) kept->append(chunk.data(), static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return total;
        }
    }
}

} // namespace

BareRun runBareShell(const std::string& command, BareOutput output) {
    BareRun run;
    int fds[2] = {-1, -1};
    const bool piped = output != BareOutput::DevNull;
    if (piped && ::pipe2(fds, O_CLOEXEC) != 0) {
        run.why = std::string("pipe2: ") + std::strerror(errno);
        return run;
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (piped)
        ::posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    else
        ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command.c_str()),
                    nullptr};
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (piped) ::close(fds[1]);
    if (rc != 0) {
        if (piped) ::close(fds[0]);
        run.why = std::string("posix_spawn /bin/sh: ") + std::strerror(rc);
        return run;
    }
    if (piped) {
        run.bytes = drain(fds[0], output == BareOutput::Keep ? &run.kept : nullptr);
        ::close(fds[0]);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) {
            run.why = std::string("waitpid: ") + std::strerror(errno);
            return run;
        }
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!run.ok) run.why = "bare /bin/sh -c [" + command + "] failed";
    return run;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    if (n == 0) return 0;
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace bench
