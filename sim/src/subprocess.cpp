#include "subprocess.h"

#include "sysfiles.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

constexpr std::size_t kOutputLimit = 4 * 1024 * 1024;

long long nowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (::pipe2(fd, O_CLOEXEC) != 0) throw SysError("pipe", errno);
    }
    ~Pipe() {
        closeEnd(0);
        closeEnd(1);
    }
    void closeEnd(int i) {
        if (fd[i] >= 0) ::close(fd[i]);
        fd[i] = -1;
    }
};

[[noreturn]] void execChild(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    if (argv[0].find('/') == std::string::npos) {
        for (const char* dir : {"/usr/sbin/", "/sbin/"}) {
            const std::string path = dir + argv[0];
            ::execv(path.c_str(), args.data());
        }
    }
    const char* msg = "cannot run helper program\n";
    (void)!::write(STDERR_FILENO, msg, std::strlen(msg));
    ::_exit(127);
}

} // namespace

void resetSignalsForExec() noexcept {
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &defaults, nullptr); // the C library's own fail harmlessly
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

RunResult runProgram(const std::vector<std::string>& argv, const std::string& input, int timeoutMs) {
    if (argv.empty()) throw std::invalid_argument("runProgram: no program");
    // A helper that closes its input early must not kill us with SIGPIPE:
    // block it while we write, and drop one that came before unblocking.
    sigset_t pipeSet, oldMask;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    if (::sigprocmask(SIG_BLOCK, &pipeSet, &oldMask) != 0) throw SysError("sigprocmask", errno);
    struct MaskRestorer {
        sigset_t pipe, old;
        ~MaskRestorer() {
            const timespec zero{0, 0};
            if (!sigismember(&old, SIGPIPE))
                while (::sigtimedwait(&pipe, nullptr, &zero) == SIGPIPE) {
                }
            ::sigprocmask(SIG_SETMASK, &old, nullptr);
        }
    } restorer{pipeSet, oldMask};

    Pipe in, out, err;
    const pid_t pid = ::fork();
    if (pid < 0) throw SysError("fork", errno);
    if (pid == 0) {
        resetSignalsForExec();
        if (::dup2(in.fd[0], STDIN_FILENO) < 0 || ::dup2(out.fd[1], STDOUT_FILENO) < 0 ||
            ::dup2(err.fd[1], STDERR_FILENO) < 0)
            ::_exit(127);
        execChild(argv);
    }
    in.closeEnd(0);
    out.closeEnd(1);
    err.closeEnd(1);
    if (input.empty()) in.closeEnd(1);
    else ::fcntl(in.fd[1], F_SETFL, O_NONBLOCK);

    RunResult result;
    std::size_t written = 0;
    const long long deadline = nowMs() + timeoutMs;
    bool timedOut = false;
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        pollfd fds[3];
        nfds_t n = 0;
        int* owners[3];
        for (auto* p : {&out.fd[0], &err.fd[0]})
            if (*p >= 0) {
                fds[n] = {*p, POLLIN, 0};
                owners[n++] = p;
            }
        if (in.fd[1] >= 0) {
            fds[n] = {in.fd[1], POLLOUT, 0};
            owners[n++] = &in.fd[1];
        }
        const long long left = deadline - nowMs();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        const int ready = ::poll(fds, n, static_cast<int>(left));
        if (ready < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            throw SysError("poll", error);
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            int& fd = *owners[i];
            if (&fd == &in.fd[1]) {
                const ssize_t w = ::write(fd, input.data() + written, input.size() - written);
                if (w > 0) written += static_cast<std::size_t>(w);
                if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) in.closeEnd(1);
                continue;
            }
            char buffer[8192];
            const ssize_t r = ::read(fd, buffer, sizeof buffer);
            if (r > 0) {
                std::string& sink = &fd == &out.fd[0] ? result.out : result.err;
                if (sink.size() < kOutputLimit) sink.append(buffer, static_cast<std::size_t>(r));
            } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
                ::close(fd);
                fd = -1;
            }
        }
    }
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw SysError("waitpid", errno);
    }
    if (timedOut) throw std::runtime_error(argv[0] + " did not finish within " + std::to_string(timeoutMs / 1000) + " s");
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

} // namespace sim
