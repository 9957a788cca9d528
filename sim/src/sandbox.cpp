#include "sandbox.h"

#include "cleanupguard.h"
#include "diskimage.h"
#include "loopdev.h"
#include "names.h"
#include "powermt.h"
#include "simstate.h"
#include "subprocess.h"
#include "sysfiles.h"
#include "treeremoval.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

namespace sim {

const char* const kSandboxUsage =
    "usage: mpio-sandbox --topology FILE [--keep-state DIR] [--powermt PROGRAM] [--] COMMAND [ARG...]\n"
    "Runs COMMAND in private mount and PID namespaces that show the simulated PowerPath machine of FILE:\n"
    "/proc/partitions, /proc/devices, the nodes in /dev and `powermt` first on PATH.\n"
    "  --keep-state DIR   keep the state (images, saved configuration) in DIR, which must be\n"
    "                     empty or not exist; without it a temporary directory is removed\n"
    "  --powermt PROGRAM  the simulator to run as powermt (default: powermt-sim beside mpio-sandbox)\n"
    "Exit status: that of COMMAND (128 + N when signal N ended it); 125 when the sandbox\n"
    "cannot be made, 126 when COMMAND cannot be run, 127 when it is not found.\n";

SandboxOptions parseSandboxArgs(const std::vector<std::string>& args) {
    SandboxOptions o;
    std::size_t i = 0;
    const auto takeValue = [&](const std::string& name) -> std::string {
        const std::string& arg = args[i];
        if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0)
            return arg.substr(name.size() + 1);
        if (i + 1 >= args.size() || args[i + 1].empty()) throw std::invalid_argument(name + " needs a value");
        return args[++i];
    };
    const auto is = [&](const std::string& name) {
        return args[i] == name || args[i].rfind(name + "=", 0) == 0;
    };
    for (; i < args.size(); ++i) {
        if (args[i] == "--") {
            ++i;
            break;
        }
        if (is("--topology")) o.topologyFile = takeValue("--topology");
        else if (is("--keep-state")) o.keepState = takeValue("--keep-state");
        else if (is("--powermt")) o.powermtProgram = takeValue("--powermt");
        else if (args[i].rfind("-", 0) == 0) throw std::invalid_argument("unknown option " + args[i]);
        else break;
    }
    o.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (o.topologyFile.empty()) throw std::invalid_argument("--topology FILE is required");
    if (o.command.empty()) throw std::invalid_argument("no command given");
    return o;
}

namespace {

const int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

std::string absolutePath(const std::string& path) {
    return std::filesystem::absolute(path).lexically_normal().string();
}

void mountOrThrow(const char* source, const std::string& target, const char* type, unsigned long flags,
                  const char* data, const std::string& what) {
    if (::mount(source, target.c_str(), type, flags, data) != 0) throw SysError(what, errno);
}

void charNode(const std::string& path, unsigned major, unsigned minor, mode_t mode) {
    if (::mknod(path.c_str(), S_IFCHR | mode, makedev(major, minor)) != 0) throw SysError("cannot create " + path, errno);
    if (::chmod(path.c_str(), mode) != 0) throw SysError("cannot set the mode of " + path, errno);
}

void symlinkOrThrow(const std::string& target, const std::string& path) {
    if (::symlink(target.c_str(), path.c_str()) != 0) throw SysError("cannot create link " + path, errno);
}

void mkdirOrThrow(const std::string& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) != 0) throw SysError("cannot create " + path, errno);
}

std::string simulatorPath(const std::string& given) {
    std::string path = given;
    if (path.empty()) {
        char self[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n < 0) throw SysError("cannot find this program's directory", errno);
        path = std::filesystem::path(std::string(self, static_cast<std::size_t>(n))).parent_path() / "powermt-sim";
    }
    path = absolutePath(path);
    if (::access(path.c_str(), X_OK) != 0)
        throw SysError("cannot use the powermt simulator " + path + " (give it with --powermt)", errno);
    return path;
}

// Binds the state directory's files over /proc/partitions and /proc/devices, read-only.
void bindStateFilesOverProc(const StateDir& dir) {
    for (const auto& [file, target] : {std::pair{dir.partitions(), std::string("/proc/partitions")},
                                       std::pair{dir.devices(), std::string("/proc/devices")}}) {
        mountOrThrow(file.c_str(), target, nullptr, MS_BIND, nullptr, "cannot bind " + file + " over " + target);
        mountOrThrow(nullptr, target, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr,
                     "cannot make " + target + " read-only");
    }
}

// A /proc of the sandbox's PID namespace, in a mount namespace of its own so
// that the launcher keeps the host's /proc (its /proc/self).
void mountFreshProc(const StateDir& dir) {
    if (::unshare(CLONE_NEWNS) != 0) throw SysError("cannot create the command's mount namespace", errno);
    mountOrThrow("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr, "cannot mount /proc");
    bindStateFilesOverProc(dir);
}

// The launcher waits for SIGCHLD and the forwarded signals with sigwaitinfo,
// so they are blocked, and SIGCHLD must not be ignored (its children would
// vanish unwaited). A closed standard error must not kill it before it has
// cleaned up, hence SIGPIPE is ignored.
void takeOverSignals(const sigset_t& waitSet) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &action, nullptr);
    for (int sig : kForwarded) ::sigaction(sig, &action, nullptr);
    action.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &action, nullptr);
    if (::sigprocmask(SIG_SETMASK, &waitSet, nullptr) != 0) throw SysError("sigprocmask", errno);
}

void ignoreSignal(int) {}

// The init of a PID namespace gets only the signals it has a handler for;
// they stay blocked and are taken with sigwaitinfo.
void acceptForwardedSignals() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = ignoreSignal;
    for (int sig : kForwarded) ::sigaction(sig, &action, nullptr);
}

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// Whether the other end of a pipe is closed: the launcher that holds it is gone.
bool peerGone(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR));
}

[[noreturn]] void execCommand(const std::vector<char*>& argv) {
    resetSignalsForExec();
    ::execvp(argv[0], argv.data());
    const int error = errno;
    std::fprintf(stderr, "mpio-sandbox: cannot run %s: %s\n", argv[0], std::strerror(error));
    ::_exit(error == ENOENT ? kCommandNotFound : kCommandNotRunnable);
}

// Forwards signals to the command and reaps every process orphaned in the
// namespace until the command ends; returns its exit code.
int superviseCommand(pid_t command, const sigset_t& waitSet) {
    for (;;) {
        const int sig = ::sigwaitinfo(&waitSet, nullptr);
        if (sig < 0) continue; // EINTR
        if (sig != SIGCHLD) {
            ::kill(command, sig); // not reaped yet: it is still ours
            continue;
        }
        int status = 0;
        for (pid_t done; (done = ::waitpid(-1, &status, WNOHANG)) > 0;)
            if (done == command) return exitCodeOf(status);
    }
}

// Process 1 of the sandbox's PID namespace: runs the command and ends with
// it, and then the kernel kills every other process of the namespace.
[[noreturn]] void namespaceInit(const std::vector<char*>& argv, const sigset_t& waitSet, const StateDir& dir,
                                int launcherPipe) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // a killed launcher takes the namespace with it
    if (peerGone(launcherPipe)) ::_exit(kSandboxFailed);
    ::close(launcherPipe);
    try {
        mountFreshProc(dir);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mpio-sandbox: %s\n", e.what());
        ::_exit(kSandboxFailed);
    }
    acceptForwardedSignals();
    const pid_t command = ::fork();
    if (command < 0) {
        std::perror("mpio-sandbox: cannot fork");
        ::_exit(kSandboxFailed);
    }
    if (command == 0) execCommand(argv);
    ::_exit(superviseCommand(command, waitSet));
}

// Forks a child that is process 1 of a new PID namespace. The launcher's
// later children stay in its own namespace (a sanitizer's helper too).
pid_t forkIntoNewPidNamespace() {
    const int own = ::open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC);
    if (own < 0) throw SysError("cannot open /proc/self/ns/pid", errno);
    if (::unshare(CLONE_NEWPID) != 0) {
        const int error = errno;
        ::close(own);
        throw SysError("cannot create a PID namespace (mpio-sandbox needs root)", error);
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    const int error = errno;
    if (pid != 0) ::setns(own, CLONE_NEWPID);
    ::close(own);
    if (pid < 0) throw SysError("cannot fork", error);
    return pid;
}

class Sandbox {
public:
    explicit Sandbox(const SandboxOptions& options) : opt_(options) {}
    ~Sandbox() { tearDown(); }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    void setUp();
    int run(const sigset_t& waitSet);

private:
    void makeStateDir();
    void prepareFiles(const std::string& topologyText);
    void enterNamespace();
    void buildDev();
    void tearDown() noexcept;

    SandboxOptions opt_;
    Topology topo_;
    SimState state_;
    StateDir dir_;
    bool removeDir_ = false;
    bool inNamespace_ = false;
    int loopControl_ = -1;
    CleanupGuard guard_;
    std::vector<std::unique_ptr<LoopDevice>> loops_;
    std::map<std::string, std::string> images_;
    std::string simulator_;
};

void Sandbox::setUp() {
    const std::string topoPath = absolutePath(opt_.topologyFile);
    const std::string text = readFile(topoPath);
    topo_ = parseTopology(text, opt_.topologyFile, std::filesystem::path(topoPath).parent_path().string());
    simulator_ = simulatorPath(opt_.powermtProgram);
    if (topo_.diskBacked()) {
        loopControl_ = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        if (loopControl_ < 0) throw SysError("disk-backed devices need /dev/loop-control", errno);
    }
    guard_.start(loopControl_);
    makeStateDir();
    prepareFiles(text);
    enterNamespace();
    buildDev();
}

void Sandbox::makeStateDir() {
    if (!opt_.keepState.empty()) {
        const std::string dir = absolutePath(opt_.keepState);
        if (::mkdir(dir.c_str(), 0755) != 0) {
            if (errno != EEXIST) throw SysError("cannot create the state directory " + dir, errno);
            std::error_code ec;
            if (!std::filesystem::is_directory(dir, ec) || !std::filesystem::is_empty(dir, ec) || ec)
                throw std::runtime_error("the state directory " + dir + " must be an empty directory or not exist");
        }
        dir_.dir = dir;
        return;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/mpio-sandbox.XXXXXX";
    if (!::mkdtemp(templ.data())) throw SysError("cannot create a state directory in " + templ, errno);
    dir_.dir = absolutePath(templ);
    removeDir_ = true;
    guard_.temporaryDir(dir_.dir);
}

void Sandbox::prepareFiles(const std::string& topologyText) {
    for (const auto& d : topo_.devices) {
        if (d.image.kind == DiskImage::Kind::None) continue;
        std::string image = d.image.file;
        if (d.image.kind == DiskImage::Kind::Create) {
            image = dir_.dir + "/" + d.name + ".img";
            createImage(d.image, image);
        }
        try {
            state_.disks[d.name] = readLayout(image);
        } catch (const std::exception& e) {
            throw std::runtime_error(opt_.topologyFile + ":" + std::to_string(d.image.line) + ": " + e.what());
        }
        images_[d.name] = image;
    }
    for (const auto& d : topo_.devices)
        if (d.configured) state_.configured.insert(d.name);
    applyDisks(topo_, state_);
    state_.devRoot = "/dev";
    writeInitialState(dir_, topologyText, topo_, state_);
    mkdirOrThrow(dir_.bin(), 0755);
    symlinkOrThrow(simulator_, dir_.bin() + "/powermt");
}

void Sandbox::enterNamespace() {
    if (::unshare(CLONE_NEWNS) != 0)
        throw SysError("cannot create a mount namespace (mpio-sandbox needs root)", errno);
    inNamespace_ = true;
    mountOrThrow(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr, "cannot make / private");
}

void Sandbox::buildDev() {
    const std::string dev = dir_.dir + "/dev-mnt";
    mkdirOrThrow(dev, 0755);
    mountOrThrow("mpio-sandbox", dev, "tmpfs", MS_NOSUID, "mode=0755,size=16m", "cannot mount a tmpfs for /dev");
    charNode(dev + "/null", 1, 3, 0666);
    charNode(dev + "/zero", 1, 5, 0666);
    charNode(dev + "/full", 1, 7, 0666);
    charNode(dev + "/random", 1, 8, 0666);
    charNode(dev + "/urandom", 1, 9, 0666);
    charNode(dev + "/tty", 5, 0, 0666);
    if (loopControl_ >= 0) charNode(dev + "/loop-control", 10, 237, 0600);
    symlinkOrThrow("/proc/self/fd", dev + "/fd");
    symlinkOrThrow("/proc/self/fd/0", dev + "/stdin");
    symlinkOrThrow("/proc/self/fd/1", dev + "/stdout");
    symlinkOrThrow("/proc/self/fd/2", dev + "/stderr");
    mkdirOrThrow(dev + "/shm", 01777);
    mountOrThrow("mpio-sandbox-shm", dev + "/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=64m",
                 "cannot mount /dev/shm");
    // Terminals keep working when the host has devpts.
    struct stat st {};
    if (::stat("/dev/pts/ptmx", &st) == 0) {
        mkdirOrThrow(dev + "/pts", 0755);
        if (::mount("/dev/pts", (dev + "/pts").c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0)
            symlinkOrThrow("pts/ptmx", dev + "/ptmx");
    }
    for (const auto& d : topo_.devices) {
        const auto image = images_.find(d.name);
        if (image == images_.end()) continue;
        loops_.push_back(std::make_unique<LoopDevice>(loopControl_, static_cast<unsigned>(d.index * 16),
                                                      dev + "/.loop-scratch", image->second, d.name));
        if (loops_.back()->added()) guard_.loopAdded(loops_.back()->number());
    }
    syncNodes(dev, topo_, state_.configured);
    mountOrThrow(dev.c_str(), "/dev", nullptr, MS_MOVE, nullptr, "cannot put the new /dev in place");
    ::rmdir(dev.c_str());
}

int Sandbox::run(const sigset_t& waitSet) {
    // A signal that came during the set-up ends the sandbox before the command starts.
    const timespec zero{0, 0};
    for (int sig; (sig = ::sigtimedwait(&waitSet, nullptr, &zero)) > 0;)
        if (sig != SIGCHLD) return 128 + sig;

    const char* path = std::getenv("PATH");
    const std::string newPath = dir_.bin() + ":" + (path && *path ? path : "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
    if (::setenv("PATH", newPath.c_str(), 1) != 0 || ::setenv(kStateEnv, dir_.dir.c_str(), 1) != 0)
        throw SysError("cannot set the environment", errno);

    std::vector<char*> argv;
    for (const auto& a : opt_.command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The init learns from this pipe's end whether the launcher is still there.
    int alive[2];
    if (::pipe2(alive, O_CLOEXEC) != 0) throw SysError("pipe", errno);
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } readEnd{alive[0]}, keepAlive{alive[1]};
    const pid_t init = forkIntoNewPidNamespace();
    if (init == 0) {
        ::close(alive[1]);
        namespaceInit(argv, waitSet, dir_, alive[0]);
    }
    ::close(alive[0]);
    readEnd.fd = -1;
    for (;;) {
        const int sig = ::sigwaitinfo(&waitSet, nullptr);
        if (sig < 0) {
            if (errno == EINTR) continue;
            throw SysError("sigwaitinfo", errno);
        }
        if (sig != SIGCHLD) {
            ::kill(init, sig); // not reaped yet, so still ours
            continue;
        }
        int status = 0;
        const pid_t done = ::waitpid(init, &status, WNOHANG);
        if (done < 0 && errno != EINTR) throw SysError("waitpid", errno);
        if (done == init) return exitCodeOf(status);
    }
}

void Sandbox::tearDown() noexcept {
    for (auto& loop : loops_) loop->detach();
    loops_.clear();
    if (loopControl_ >= 0) ::close(loopControl_);
    loopControl_ = -1;
    if (inNamespace_) {
        ::umount2("/dev", MNT_DETACH);
        inNamespace_ = false;
    }
    if (!dir_.dir.empty()) {
        // Nothing mounted in the state directory survives it, kept or not;
        // a temporary one is removed without crossing into a mount.
        detachMountsAtOrBelow(dir_.dir);
        if (removeDir_) {
            const std::string left = removeTreeWithinItsMount(dir_.dir);
            if (!left.empty()) std::fprintf(stderr, "mpio-sandbox: cannot remove %s: %s\n", dir_.dir.c_str(), left.c_str());
            removeDir_ = false;
        }
    }
    guard_.dismiss();
}

} // namespace

int runSandbox(const SandboxOptions& options) {
    sigset_t waitSet;
    sigemptyset(&waitSet);
    for (int sig : kForwarded) sigaddset(&waitSet, sig);
    sigaddset(&waitSet, SIGCHLD);
    try {
        takeOverSignals(waitSet);
        Sandbox sandbox(options);
        try {
            sandbox.setUp();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "mpio-sandbox: %s\n", e.what());
            return kSandboxFailed;
        }
        return sandbox.run(waitSet);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mpio-sandbox: %s\n", e.what());
        return kSandboxFailed;
    }
}

} // namespace sim
