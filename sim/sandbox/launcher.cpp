// SPDX-License-Identifier: Apache-2.0
// The sandbox's life: set up the state directory, the mount namespace and
// /dev; start the namespace's init and wait for it, passing signals on; and
// tear everything down again.
#include "sandbox/launcher.h"

#include "machine/checked_files.h"
#include "machine/load.h"
#include "machine/publish.h"
#include "mpio/tree_removal.h"
#include "sandbox/cleanup_guard.h"
#include "sandbox/dev_tree.h"
#include "sandbox/disk_image.h"
#include "sandbox/loop_device.h"
#include "sandbox/namespace_init.h"
#include "sandbox/root_dir.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace sim {

namespace process = mpio::process;

namespace {

std::string absolutePath(const std::string& path) {
    return std::filesystem::absolute(path).lexically_normal().string();
}

std::string simulatorPath(const std::string& given) {
    std::error_code ec;
    const std::filesystem::path self = given.empty() ? std::filesystem::read_symlink("/proc/self/exe", ec) : "";
    if (ec) throw SysError("cannot find this program's directory", ec.value());
    const std::string path = absolutePath(given.empty() ? (self.parent_path() / "powermt-sim").string() : given);
    if (::access(path.c_str(), X_OK) != 0)
        throw SysError("cannot use the powermt simulator " + path + " (give it with --powermt)", errno);
    return path;
}

// The launcher waits for SIGCHLD and the forwarded signals with sigwaitinfo,
// so they are blocked, and SIGCHLD must not be ignored (its children would
// vanish unwaited). A closed standard error must not kill it before it has
// cleaned up, hence SIGPIPE is ignored.
void takeOverSignals() {
    setDisposition(SIGCHLD, SIG_DFL);
    for (int sig : kForwardedSignals) setDisposition(sig, SIG_DFL);
    setDisposition(SIGPIPE, SIG_IGN);
    const sigset_t waitSet = supervisedSignals();
    if (::sigprocmask(SIG_SETMASK, &waitSet, nullptr) != 0) throw SysError("sigprocmask", errno);
}

// A signal that came during the set-up, which ends the sandbox before the
// command starts; 0 when none did.
int signalDuringSetUp() {
    const sigset_t waitSet = supervisedSignals();
    const timespec zero{0, 0};
    for (int sig; (sig = ::sigtimedwait(&waitSet, nullptr, &zero)) > 0;)
        if (sig != SIGCHLD) return sig;
    return 0;
}

class Sandbox {
public:
    explicit Sandbox(const SandboxOptions& options) : opt_(options) {}
    ~Sandbox() { tearDown(); }

    void setUp();
    int run();

private:
    void makeStateDir();
    void prepareFiles(const std::string& topologyText);
    void enterNamespace();
    void buildDev();
    void attachLoops(const std::string& dev);
    void tearDown() noexcept;

    SandboxOptions opt_;
    Topology topo_;
    SimState state_;
    StateDir dir_;
    bool removeDir_ = false;
    bool inNamespace_ = false;
    process::Fd loopControl_;
    CleanupGuard guard_;
    std::vector<std::unique_ptr<LoopDevice>> loops_;
    std::map<std::string, std::string> images_;
    std::string simulator_;
    std::string root_; // the command's root file system; empty: the host's
};

void Sandbox::setUp() {
    if (!opt_.root.empty()) root_ = checkedRootDir(opt_.root);
    const std::string topoPath = absolutePath(opt_.topologyFile);
    const std::string text = readFile(topoPath, kMaxTopologyBytes);
    topo_ = parseTopology(text, opt_.topologyFile, std::filesystem::path(topoPath).parent_path().string());
    simulator_ = simulatorPath(opt_.powermtProgram);
    if (topo_.diskBacked()) {
        loopControl_ = process::Fd(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
        if (!loopControl_) throw SysError("disk-backed devices need /dev/loop-control", errno);
    }
    guard_.start(loopControl_.get());
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
    if (::unshare(CLONE_NEWNS) != 0) throw SysError("cannot create a mount namespace (mpio-sandbox needs root)", errno);
    inNamespace_ = true;
    mountOrThrow(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr, "cannot make / private");
}

void Sandbox::buildDev() {
    const std::string dev = dir_.dir + "/dev-mnt";
    makeBasicDevTree(dev, bool(loopControl_));
    attachLoops(dev);
    makeDeviceNodes(dev, topo_, state_.configured);
    moveOverDev(dev);
}

// Each disk-backed device's image on its loop device. The guard learns of
// a loop device that is missing before it is added, and is told again if
// someone else added it meanwhile.
void Sandbox::attachLoops(const std::string& dev) {
    for (const auto& d : topo_.devices) {
        const auto image = images_.find(d.name);
        if (image == images_.end()) continue;
        const auto number = static_cast<unsigned>(d.index * 16);
        const bool missing = !loopExists(number);
        if (missing) guard_.loopAdding(number);
        loops_.push_back(
            std::make_unique<LoopDevice>(loopControl_.get(), number, dev + "/.loop-scratch", image->second, d.name));
        if (missing && !loops_.back()->added()) guard_.loopNotAdded(number);
    }
}

int Sandbox::run() {
    if (const int sig = signalDuringSetUp()) return 128 + sig;
    // The init learns from this pipe's read end whether the launcher, which
    // alone holds the write end, is still there.
    process::Pipe alive;
    if (const int e = process::makePipe(alive); e != 0) throw SysError("pipe", e);
    process::Child init = startNamespaceInit(dir_.dir, root_, opt_.command, alive.read.get(), guard_.pipeEnd());
    alive.read.reset();
    return forwardSignalsUntil(init, [&] { return exitCodeOnceEnded(init); });
}

void Sandbox::tearDown() noexcept {
    for (auto& loop : loops_) loop->detach();
    loops_.clear();
    loopControl_.reset();
    if (inNamespace_) {
        ::umount2("/dev", MNT_DETACH);
        inNamespace_ = false;
    }
    if (!dir_.dir.empty()) {
        // Nothing mounted in the state directory survives it, kept or not;
        // a temporary one is removed without crossing into a mount.
        mpio::tree::detachMountsAtOrBelow(dir_.dir);
        if (removeDir_) {
            const std::string left = mpio::tree::removeTreeWithinItsMount(dir_.dir);
            if (!left.empty())
                std::fprintf(stderr, "mpio-sandbox: cannot remove %s: %s\n", dir_.dir.c_str(), left.c_str());
            removeDir_ = false;
        }
    }
    guard_.dismiss();
}

} // namespace

int runSandbox(const SandboxOptions& options) {
    try {
        takeOverSignals();
        Sandbox sandbox(options);
        sandbox.setUp();
        return sandbox.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mpio-sandbox: %s\n", e.what());
        return kSandboxFailed;
    }
}

} // namespace sim
