// SPDX-License-Identifier: Apache-2.0
// mpio-sandbox, run as a program: what a command sees inside it, and what is
// left behind after it.
#include "machine/checked_files.h"
#include "machine/render.h"
#include "machine/state_dir.h"
#include "sandbox/launcher.h"
#include "sandbox/loop_device.h"
#include "mpio/tree_removal.h"

#include "gtest_layer.h"
#include "mpio/process.h"
#include "processes.h"
#include "temp_dir.h"
#include "text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <chrono>
#include <functional>

namespace {

namespace process = mpio::process;
using mpiotest::contains;
using mpiotest::eventually;

const char* const kDiskTopology = R"(
device emcpowera symmetrix id=000190300123 ldev=0123A size=8G
  path sdb qla2xxx "FA  7eA" active alive
  partition 1 1G
device emcpowerc clariion id=APM00112233445 group=hostgroup1 ldev=6006016012345678 lun=7
  path sdc qla2xxx "SP A0" active alive
  path sdg lpfc    "SP B1" standby alive
  image 64M mbr 1:16M 2:16M 3:ext 5:8M 6:rest
)";
constexpr unsigned kDiskLoop = 32; // emcpowerc: index 2

std::string shipped(const std::string& name) { return std::string(SIM_TOPOLOGIES) + "/" + name; }

process::ProgramRun sandbox(std::vector<std::string> options, const std::string& script) {
    options.insert(options.end(), {"--", "/bin/sh", "-c", script});
    return process::runProgram(MPIO_SANDBOX, options, {.timeout = std::chrono::minutes(2)});
}

process::ProgramRun inSandbox(const std::string& topologyFile, const std::string& script) {
    return sandbox({"--topology", topologyFile}, script);
}

// The script's standard output in a sandbox of the topology, where it must succeed.
std::string outputOf(const std::string& topologyFile, const std::string& script) {
    const auto r = inSandbox(topologyFile, script);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    return r.out;
}

std::string losetupList() { return process::runProgram("losetup", {"-a"}).out; }

// The processes anywhere on the machine that have `word` among their arguments.
std::vector<pid_t> processesWithArgument(const std::string& word) {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        try {
            const std::string cmdline = sim::readFile(entry.path() / "cmdline");
            if (contains(cmdline, std::string(1, '\0') + word + std::string(1, '\0'))) found.push_back(std::stoi(name));
        } catch (const std::exception&) {
            // ended meanwhile
        }
    }
    return found;
}

// Runs `body` in a death test's child process with a private mount
// namespace; the result is the child's exit status: body's result, 99 when
// there is no private namespace, 98 when body threw, -1 when it did not exit.
int inOwnMountNamespace(const std::function<int()>& body) {
    const auto privately = [&body] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 99;
        try {
            return body();
        } catch (...) {
            return 98;
        }
    };
    int code = -1;
    EXPECT_EXIT(::_exit(privately()),
                [&code](int status) {
                    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                    return true;
                },
                "");
    return code;
}

// Mounts a tmpfs at "DIR/t x" and binds `folder` to "DIR/t x/host" inside
// it: the shape in which a removal that crosses mounts deletes the folder's
// files (and a blank that mountinfo shows as \040).
const char* const kMountIntoScript =
    R"(mkdir "$1/t x" && mount -t tmpfs t "$1/t x" && mkdir "$1/t x/host" && mount --bind "$2" "$1/t x/host")";

void mountInto(const std::string& dir, const std::string& folder) {
    const auto r = process::runProgram("/bin/sh", {"-c", kMountIntoScript, "sh", dir, folder});
    if (r.exitStatus != 0) throw std::runtime_error("cannot mount into " + dir + ": " + r.err);
}

// DIR/d/d/.../d, `levels` deep, with a file at the bottom: made level by
// level relative to the one before, as no path could name the bottom.
void makeDeepTree(const std::string& dir, int levels) {
    process::Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int i = 0; i < levels && fd; ++i) {
        if (::mkdirat(fd.get(), "d", 0755) != 0) throw std::runtime_error("mkdirat failed at level " + std::to_string(i));
        fd = process::Fd(::openat(fd.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!fd || process::Fd(::openat(fd.get(), "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644)).get() < 0)
        throw std::runtime_error("cannot make a tree " + std::to_string(levels) + " levels deep in " + dir);
}

// A program (a sandbox) running in the background, whose standard output we
// read. Its standard input and error are the test's; it is not given a
// process group, so that a signal reaches the launcher alone, as from a
// caller. Destruction kills and reaps it.
class Background {
public:
    explicit Background(std::vector<std::string> argv) {
        process::Launch launch;
        launch.argv = std::move(argv);
        launch.input = process::Input::Inherit;
        launch.errors = process::Sink::Inherit;
        launch.ownProcessGroup = false;
        process::Result failure;
        child_ = process::spawn(launch, failure);
        if (!child_) throw std::runtime_error("cannot start " + launch.argv[0] + ": " + process::errnoText(failure.code));
    }
    // Reads standard output until it holds `text`.
    bool waitFor(const std::string& text, int timeoutMs = 60000) {
        const auto end = process::Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!contains(seen_, text)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - process::Clock::now());
            if (left.count() <= 0) return false;
            pollfd p{child_.output.get(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(child_.output.get(), buffer, sizeof buffer);
            if (n <= 0) return false;
            seen_.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    void signal(int sig) const { child_.kill(sig); }
    // The wait status, or -1 when it has not ended within the time.
    int wait(int timeoutMs = 60000) {
        if (!child_.awaitExit(process::Clock::now() + std::chrono::milliseconds(timeoutMs))) return -1;
        return child_.reap().value_or(-1);
    }
    const std::string& seen() const { return seen_; }

private:
    process::Child child_;
    std::string seen_;
};

class Sandbox : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_SANDBOX(MPIO_SANDBOX, shipped("small.topo")); }
    std::string topologyFile(const std::string& text) {
        const std::string path = tmp / "test.topo";
        std::filesystem::remove(path);
        sim::writeNewFile(path, text);
        return path;
    }
    mpiotest::TempDir tmp;
};

TEST_F(Sandbox, ProcFilesShowTheTopology) {
    const std::string file = shipped("small.topo");
    const auto topo = sim::parseTopology(sim::readFile(file), file);
    const std::string out =
        outputOf(file, "cat /proc/partitions; echo ---; cat /proc/devices; echo ---;"
                       "cat /proc/partitions | grep \"emcpower\" | awk '{print $1\" \"$2\" \"$4}'; echo ---;"
                       "cat /proc/devices | grep 'power2' | awk '{print $1}'");
    EXPECT_EQ(out, sim::procPartitions(topo, {"emcpowera", "emcpowerb"}) + "---\n" + sim::procDevices(topo) +
                       "---\n120 0 emcpowera\n120 1 emcpowera1\n120 2 emcpowera2\n120 16 emcpowerb\n"
                       "120 17 emcpowerb1\n120 18 emcpowerb2\n120 19 emcpowerb3\n---\n120\n");
    EXPECT_TRUE(contains(out, "   8       16    8388608 sdb\n"));
    EXPECT_FALSE(contains(out, "emcpowerc")) << "emcpowerc is not configured yet";
}

TEST_F(Sandbox, NodesAndLinksHaveTheTopologysNumbers) {
    EXPECT_EQ(outputOf(shipped("small.topo"),
                       "stat -c '%n %F %t:%T' /dev/emcpowera /dev/emcpowera2 /dev/emcpowerb /dev/emcpowerb3 "
                       "/dev/sdb /dev/sdc1 /dev/sdg /dev/null;"
                       "readlink -f /dev/disk/by-id/scsi-30123A /dev/disk/by-id/scsi-36006016012345678-part2;"
                       "test -e /dev/emcpowerc || echo no emcpowerc"),
              "/dev/emcpowera block special file 78:0\n"
              "/dev/emcpowera2 block special file 78:2\n"
              "/dev/emcpowerb block special file 78:10\n"
              "/dev/emcpowerb3 block special file 78:13\n"
              "/dev/sdb block special file 8:10\n"
              "/dev/sdc1 block special file 8:21\n"
              "/dev/sdg block special file 8:60\n"
              "/dev/null character special file 1:3\n"
              "/dev/emcpowera\n"
              "/dev/emcpowerb2\n"
              "no emcpowerc\n");
}

TEST_F(Sandbox, PowermtIsTheSimulatorFirstOnPath) {
    const std::string script = "command -v powermt; readlink -f \"$(command -v powermt)\"; echo \"$POWERMT_SIM_STATE\";"
                               "powermt display dev=all | grep 'Pseudo' | awk 'BEGIN {FS=\"=\";} {print $2;}'";
    const auto out = mpiotest::lines(outputOf(shipped("small.topo"), script));
    ASSERT_EQ(out.size(), 5U) << testing::PrintToString(out);
    EXPECT_EQ(out[0], out[2] + "/bin/powermt");
    EXPECT_EQ(out[1], std::filesystem::canonical(POWERMT_SIM).string());
    EXPECT_EQ(out[3], "emcpowera");
    EXPECT_EQ(out[4], "emcpowerb");
}

TEST_F(Sandbox, RemoveAndConfigShowInFreshListings) {
    EXPECT_EQ(outputOf(shipped("small.topo"), R"SH(
        powermt remove force dev=emcpowera || echo "remove failed $?"
        powermt release && powermt save || echo "release/save failed"
        echo "after remove: $(cat /proc/partitions | grep -c emcpowera) $(ls /dev | grep -c emcpowera) $(ls /dev/disk/by-id | grep -c 0123A)"
        test -e /dev/emcpowera || echo "no node"
        powermt config || echo "config failed $?"
        echo "after config: $(cat /proc/partitions | grep -c emcpower) $(ls /dev | grep -c emcpower)"
        stat -c '%t:%T' /dev/emcpowera1 /dev/emcpowerc1
        powermt display dev=emcpowerc | grep -v '=' | grep 'sd' | awk '/active|passive/ { print $3 }'
    )SH"),
              "after remove: 0 0 0\n"
              "no node\n"
              "after config: 9 9\n"
              "78:1\n"
              "78:21\n"
              "sdf\n"
              "sdg\n");
}

TEST_F(Sandbox, TheHostSeesNothingOfIt) {
    const std::string hostPartitions = sim::readFile("/proc/partitions");
    const bool hostHadNode = std::filesystem::exists("/dev/emcpowera");
    outputOf(shipped("small.topo"), "powermt config && touch /dev/emcpowera-made-inside");
    EXPECT_EQ(sim::readFile("/proc/partitions"), hostPartitions);
    EXPECT_EQ(std::filesystem::exists("/dev/emcpowera"), hostHadNode);
    EXPECT_FALSE(std::filesystem::exists("/dev/emcpowera-made-inside"));
}

TEST_F(Sandbox, StateDirectoryIsRemovedUnlessKept) {
    const std::string stateDir = mpiotest::lines(outputOf(shipped("small.topo"), "echo \"$POWERMT_SIM_STATE\"")).at(0);
    EXPECT_FALSE(stateDir.empty());
    EXPECT_FALSE(std::filesystem::exists(stateDir)) << stateDir;

    const std::string kept = tmp / "kept";
    const auto keep = sandbox({"--topology", shipped("small.topo"), "--keep-state", kept},
                              "echo \"$POWERMT_SIM_STATE\"; powermt remove force dev=emcpowerb && powermt save");
    ASSERT_EQ(keep.exitStatus, 0) << keep.err;
    EXPECT_EQ(keep.out, kept + "\n");
    const std::string saved = sim::readFile(kept + "/powermt.custom");
    EXPECT_TRUE(contains(saved, "emcpowera ")) << saved;
    EXPECT_FALSE(contains(saved, "emcpowerb")) << saved;

    const auto again = sandbox({"--topology", shipped("small.topo"), "--keep-state", kept}, "true");
    EXPECT_EQ(again.exitStatus, sim::kSandboxFailed);
    EXPECT_TRUE(contains(again.err, "must be an empty directory")) << again.err;
}

TEST_F(Sandbox, RemovingATemporaryTreeNeverEntersAMount) {
    mpiotest::TempDir folder; // a host folder that something binds into a temporary tree
    sim::writeNewFile(folder / "keep", "data");
    const auto folderIntact = [&] { return std::filesystem::exists(folder / "keep"); };

    // The sandbox's temporary state directory, with mounts the command made in it.
    const auto r = inSandbox(shipped("small.topo"), std::string("set -- \"$POWERMT_SIM_STATE\" ") + folder.path() +
                                                        "; " + kMountIntoScript + " && echo \"$1\"");
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(folderIntact()) << "the sandbox's clean-up emptied a folder bound into its state directory";
    EXPECT_FALSE(std::filesystem::exists(mpiotest::lines(r.out).at(0)));
    EXPECT_EQ(r.err, "");

    // A test's temporary directory.
    EXPECT_EQ(inOwnMountNamespace([&] {
                  std::string dir;
                  {
                      mpiotest::TempDir scratch;
                      dir = scratch.path();
                      mountInto(dir, folder.path());
                  }
                  return std::filesystem::exists(dir) ? 1 : 0;
              }),
              0);
    EXPECT_TRUE(folderIntact()) << "a test's temporary directory emptied a folder bound into it";

    // The removal alone, with the mounts still in place, refuses to enter them.
    EXPECT_EQ(inOwnMountNamespace([&] {
                  mpiotest::TempDir scratch;
                  mountInto(scratch.path(), folder.path());
                  sim::writeNewFile(scratch / "plain", "x");
                  const std::string left = mpio::tree::removeTreeWithinItsMount(scratch.path());
                  const bool refused = left == scratch / "t x: a mount point, not entered";
                  return refused && !std::filesystem::exists(scratch / "plain") ? 0 : 1;
              }),
              0);
    EXPECT_TRUE(folderIntact()) << "the removal entered a mount";
}

TEST_F(Sandbox, ATreeOfAnyDepthIsRemovedWithFewDescriptors) {
    // More levels than a recursive removal has stack for, and far more than
    // it may open descriptors; on a tmpfs, where removing them is quick.
    EXPECT_EQ(inOwnMountNamespace([] {
                  mpiotest::TempDir scratch;
                  if (::mount("t", scratch.path().c_str(), "tmpfs", 0, nullptr) != 0) return 96;
                  makeDeepTree(scratch.path(), 12000);
                  rlimit few{};
                  ::getrlimit(RLIMIT_NOFILE, &few);
                  few.rlim_cur = 64;
                  if (::setrlimit(RLIMIT_NOFILE, &few) != 0) return 97;
                  const std::string left = mpio::tree::removeTreeWithinItsMount(scratch / "d");
                  return left.empty() && !std::filesystem::exists(scratch / "d") ? 0 : 1;
              }),
              0);
}

TEST_F(Sandbox, ExitStatusIsTheCommands) {
    const std::pair<const char*, int> cases[] = {
        {"exit 0", 0}, {"exit 7", 7}, {"kill -TERM $$", 128 + SIGTERM}, {"kill -KILL $$", 128 + SIGKILL}};
    for (const auto& [script, status] : cases) EXPECT_EQ(inSandbox(shipped("small.topo"), script).exitStatus, status) << script;

    const auto missing = process::runProgram(MPIO_SANDBOX, {"--topology", shipped("small.topo"), "no-such-command-here"});
    EXPECT_EQ(missing.exitStatus, sim::kCommandNotFound);
    EXPECT_TRUE(contains(missing.err, "cannot run no-such-command-here")) << missing.err;
    const std::string notExecutable = tmp / "plain-file";
    sim::writeNewFile(notExecutable, "echo hi\n", 0644);
    EXPECT_EQ(process::runProgram(MPIO_SANDBOX, {"--topology", shipped("small.topo"), notExecutable}).exitStatus,
              sim::kCommandNotRunnable);
}

TEST_F(Sandbox, ClearErrorsWhenTheSandboxCannotBeMade) {
    const std::string bad = topologyFile("device emcpowera symmetrix id=1 ldev=2\n  path sdb lpfc \"FA 1\" active\n");
    // An 8 MiB MBR image whose second partition claims 4294967280 sectors.
    const std::string hostileImage = tmp / "hostile.img";
    ASSERT_EQ(process::runProgram("truncate", {"-s", "8M", hostileImage}).exitStatus, 0);
    ASSERT_EQ(process::runProgram("sfdisk", {"-q", hostileImage}, {.input = "label: dos\nsize=2MiB\nsize=2MiB\n"}).exitStatus, 0);
    const unsigned char size[4] = {0xf0, 0xff, 0xff, 0xff}; // little-endian sector count of entry 2
    const int fd = ::open(hostileImage.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::pwrite(fd, size, sizeof size, 446 + 16 + 12), static_cast<ssize_t>(sizeof size));
    ::close(fd);
    const std::string hostile = tmp / "hostile.topo";
    sim::writeNewFile(hostile, "device emcpowerc symmetrix id=1 ldev=2\n  path sdb lpfc \"FA 1\" active alive\n"
                               "  image file=hostile.img\n");
    // Roots of --root: a plain file, a tree without /bin/sh, an empty directory.
    const std::string plainRoot = tmp / "root-file";
    sim::writeNewFile(plainRoot, "");
    const std::string shellless = tmp / "root-without-sh";
    ASSERT_EQ(process::runProgram("mkdir", {"-p", shellless + "/dev", shellless + "/proc", shellless + "/run"}).exitStatus, 0);
    const std::string bare = tmp / "root-bare";
    std::filesystem::create_directory(bare);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--topology", tmp / "missing.topo", "true"}, "cannot open " + (tmp / "missing.topo")},
        {{"--topology", bad, "true"}, bad + ":2: usage: path"},
        {{"--topology", shipped("small.topo")}, "no command given"},
        {{"true"}, "--topology FILE is required"},
        {{"--topology"}, "--topology needs a value"},
        {{"--topology", shipped("small.topo"), "--colour", "true"}, "unknown option --colour"},
        {{"--topology", shipped("small.topo"), "--powermt", tmp / "nothing", "true"}, "cannot use the powermt simulator"},
        {{"--topology", hostile, "true"},
         hostile + ":3: image " + hostileImage +
             ": partition 2 starts at sector 6144 and has 4294967280 sectors, beyond the image's 16384 sectors"},
        {{"--topology", shipped("small.topo"), "--root", plainRoot, "true"}, "the root " + plainRoot + " is not a directory"},
        {{"--topology", shipped("small.topo"), "--root", shellless, "true"}, "the root " + shellless + " has no /bin/sh"},
        {{"--topology", shipped("small.topo"), "--root", bare, "true"},
         "cannot enter the root " + bare + ": it has no directory /dev to lay the simulated one over"},
    };
    for (const auto& [args, message] : cases) {
        const auto r = process::runProgram(MPIO_SANDBOX, args);
        EXPECT_EQ(r.exitStatus, sim::kSandboxFailed) << message;
        EXPECT_TRUE(contains(r.err, "mpio-sandbox: " + message)) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// A root file system of the host's /bin/sh and the libraries it needs (and
// those of the simulator, which has some in sanitizer builds), and the
// directories that --root lays the simulated machine over.
void makeShellRoot(const std::string& root) {
    const auto r = process::runProgram("/bin/sh", {"-c", R"(set -e
        mkdir -p "$1/bin" "$1/dev" "$1/proc" "$1/run" && cp -L /bin/sh "$1/bin/sh"
        for lib in $( (ldd /bin/sh; ldd "$2" || true) | grep -o '/[^ ]*'); do cp -L --parents "$lib" "$1"; done)",
                                    "sh", root, POWERMT_SIM});
    if (r.exitStatus != 0) throw std::runtime_error("cannot make a root in " + root + ": " + r.err);
}

// Every entry below dir with its type, mode, size and modification time.
std::string treeListing(const std::string& dir) {
    return process::runProgram("/bin/sh", {"-c", "find \"$1\" -printf '%p %y %m %s %T@\\n' | sort", "sh", dir}).out;
}

TEST_F(Sandbox, RootIsTheCommandsFileSystemAndStaysAsItWas) {
    const std::string root = tmp / "root";
    makeShellRoot(root);
    sim::writeNewFile(root + "/marker", "");
    const std::string before = treeListing(root);
    // Shell built-ins only, and powermt: the root has nothing else.
    const auto r = sandbox({"--topology", shipped("small.topo"), "--root", root}, R"(
        test -e /marker && echo "in the root"
        read -r heading < /proc/partitions && echo "$heading"
        test -b /dev/emcpowerb && echo "emcpowerb is a block device"
        echo "$POWERMT_SIM_STATE"
        powermt display dev=all | while read -r line; do case $line in Pseudo*) echo "$line";; esac; done
        powermt remove force dev=emcpowerb && test ! -e /dev/emcpowerb && echo "emcpowerb removed"
    )");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "in the root\n"
              "major minor  #blocks  name\n"
              "emcpowerb is a block device\n"
              "/run/mpio-sandbox/state\n"
              "Pseudo name=emcpowera\n"
              "Pseudo name=emcpowerb\n"
              "emcpowerb removed\n");
    // Refused once everything is mounted: /bin/sh no longer executable.
    ASSERT_EQ(::chmod((root + "/bin/sh").c_str(), 0644), 0);
    const std::string beforeRefusal = treeListing(root);
    EXPECT_EQ(sandbox({"--topology", shipped("small.topo"), "--root", root}, "true").exitStatus, sim::kSandboxFailed);
    EXPECT_EQ(treeListing(root), beforeRefusal);
    ASSERT_EQ(::chmod((root + "/bin/sh").c_str(), 0755), 0);
    EXPECT_EQ(treeListing(root), before);
    EXPECT_FALSE(contains(sim::readFile("/proc/self/mountinfo"), root)) << "left mounted";
}

TEST_F(Sandbox, DiskBackedDeviceHasARealPartitionTable) {
    ASSERT_FALSE(sim::loopAttached(kDiskLoop)) << "loop" << kDiskLoop << " is in use by someone else";
    EXPECT_EQ(outputOf(topologyFile(kDiskTopology), R"(
        grep power2 /proc/devices
        grep emcpowerc /proc/partitions
        stat -c '%n %t:%T' /dev/emcpowera /dev/emcpowerc /dev/emcpowerc5
        sfdisk -d /dev/emcpowerc | grep '^/dev' | sed 's/start=.*type=/type=/'
        blkid -p -o value -s PTTYPE /dev/emcpowerc
        powermt remove force dev=emcpowerc && powermt config
        sfdisk -d /dev/emcpowerc | grep -c '^/dev/emcpowerc'
    )"),
              "  7 power2\n"
              "   7       32      65536 emcpowerc\n"
              "   7       33      16384 emcpowerc1\n"
              "   7       34      16384 emcpowerc2\n"
              "   7       35          1 emcpowerc3\n"
              "   7       37       8192 emcpowerc5\n"
              "   7       38      21504 emcpowerc6\n"
              "/dev/emcpowera 7:0\n"
              "/dev/emcpowerc 7:20\n"
              "/dev/emcpowerc5 7:25\n"
              "/dev/emcpowerc1 : type=83\n"
              "/dev/emcpowerc2 : type=83\n"
              "/dev/emcpowerc3 : type=5\n"
              "/dev/emcpowerc5 : type=83\n"
              "/dev/emcpowerc6 : type=83\n"
              "dos\n"
              "5\n");
    EXPECT_TRUE(eventually([] { return !sim::loopAttached(kDiskLoop); })) << "loop" << kDiskLoop << " left attached";
    EXPECT_FALSE(contains(losetupList(), "emcpowerc.img")) << losetupList();
}

TEST_F(Sandbox, GivenImageFileIsAttachedAsItIs) {
    const std::string image = tmp / "given.img";
    ASSERT_EQ(process::runProgram("truncate", {"-s", "8M", image}).exitStatus, 0);
    const auto made = process::runProgram("sfdisk", {"-q", image}, {.input = "label: gpt\nsize=2MiB\nsize=2MiB\n"});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    EXPECT_EQ(outputOf(topologyFile("device emcpowerc symmetrix id=1 ldev=2\n"
                                    "  path sdb lpfc \"FA 1\" active alive\n"
                                    "  image file=given.img\n"),
                       "grep emcpowerc /proc/partitions; blkid -p -o value -s PTTYPE /dev/emcpowerc"),
              "   7       32       8192 emcpowerc\n"
              "   7       33       2048 emcpowerc1\n"
              "   7       34       2048 emcpowerc2\n"
              "gpt\n");
    EXPECT_TRUE(eventually([] { return !sim::loopAttached(kDiskLoop); }));
}

TEST_F(Sandbox, NothingStartedInsideOutlivesIt) {
    const std::string topo = topologyFile(kDiskTopology);
    const std::pair<const char*, int> endings[] = {{"normal end", 0}, {"SIGTERM", SIGTERM}, {"SIGKILL", SIGKILL}};
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.first);
        const int sig = ending.second;
        ASSERT_FALSE(sim::loopAttached(kDiskLoop)) << "loop" << kDiskLoop << " is in use by someone else";
        const bool loopExisted = sim::loopExists(kDiskLoop);
        const std::string stray = "mpio-sandbox-stray-" + std::to_string(::getpid()) + "-" + std::to_string(sig);
        const std::string stateParent = tmp / stray;
        std::filesystem::create_directory(stateParent);
        // A background process of the command that holds the disk-backed
        // device open; the command goes on when the test has seen it.
        const std::string go = tmp / (stray + ".go");
        const std::string script = "/bin/sh -c 'while :; do sleep 1; done' " + stray + " < /dev/emcpowerc & echo ready; " +
                                   "while [ ! -e " + go + " ]; do sleep 0.02; done; " + (sig ? "exec sleep 60" : "exit 0");
        // The launcher and the guard may open 64 descriptors, fewer than
        // the levels of a tree they must remove.
        Background box({"/bin/sh", "-c", "ulimit -n 64 && exec env TMPDIR=\"$0\" \"$@\"", stateParent, MPIO_SANDBOX,
                        "--topology", topo, "--", "/bin/sh", "-c", script});
        ASSERT_TRUE(box.waitFor("ready\n")) << box.seen();
        ASSERT_TRUE(eventually([&] { return !processesWithArgument(stray).empty(); }));
        // A tree that the launcher, or the guard after a SIGKILL, must remove.
        makeDeepTree(std::filesystem::directory_iterator(stateParent)->path(), 200);
        sim::writeNewFile(go, "");
        if (sig) box.signal(sig);
        const int status = box.wait();
        if (sig == SIGKILL) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        } else {
            EXPECT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), sig ? 128 + sig : 0);
        }
        // All is gone when the launcher has ended; a moment later when it was killed.
        const auto gone = [&](const std::function<bool()>& condition) { return sig == SIGKILL ? eventually(condition) : condition(); };
        EXPECT_TRUE(gone([&] { return processesWithArgument(stray).empty(); })) << "a process of the sandbox outlived it";
        EXPECT_TRUE(gone([] { return !sim::loopAttached(kDiskLoop); })) << "loop" << kDiskLoop << " left attached";
        if (!loopExisted) {
            EXPECT_TRUE(gone([] { return !sim::loopExists(kDiskLoop); })) << "loop" << kDiskLoop << " left added";
        }
        EXPECT_TRUE(gone([&] { return std::filesystem::is_empty(stateParent); })) << "the state directory was left";
        EXPECT_FALSE(contains(losetupList(), "emcpowerc.img")) << losetupList();
        const auto next = inSandbox(topo, "true");
        EXPECT_EQ(next.exitStatus, 0) << next.err;
        for (pid_t pid : processesWithArgument(stray)) ::kill(pid, SIGKILL);
        eventually([] { return !sim::loopAttached(kDiskLoop); });
    }
}

TEST_F(Sandbox, ALoopDeviceAddedJustBeforeASigkillIsRemoved) {
    if (sim::loopExists(kDiskLoop)) GTEST_SKIP() << "loop" << kDiskLoop << " exists: the sandbox would not add it";
    Background box({MPIO_SANDBOX, "--topology", topologyFile(kDiskTopology), "--", "/bin/sh", "-c", "exec sleep 60"});
    // The launcher dies the moment the device appears, before it is attached.
    const auto end = process::Clock::now() + std::chrono::seconds(30);
    while (!sim::loopExists(kDiskLoop) && process::Clock::now() < end) {
    }
    box.signal(SIGKILL);
    box.wait();
    EXPECT_TRUE(eventually([] { return !sim::loopExists(kDiskLoop); }, std::chrono::seconds(20)))
        << "loop" << kDiskLoop << " left added";
}

TEST_F(Sandbox, TheCallersSignalSetUpDoesNotMatter) {
    // A caller that ignores SIGCHLD, SIGINT and SIGHUP and blocks SIGTERM, SIGCHLD and SIGUSR1.
    const std::vector<std::string> oddSignals = {"/usr/bin/env", "--ignore-signal=CHLD,INT,HUP",
                                                 "--block-signal=TERM,CHLD,USR1"};
    struct Case {
        const char* what;
        std::string topology;
        std::string script;
        int signal;
        int status;
        std::string out;
    };
    const Case cases[] = {
        {"the command gets default dispositions and an empty mask", shipped("small.topo"),
         "grep -E '^Sig(Blk|Ign)' /proc/self/status; exit 3", 0, 3, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"},
        {"disk-backed set-up runs sfdisk", topologyFile(kDiskTopology), "grep -c emcpowerc /proc/partitions", 0, 0, "6\n"},
        {"a signal is forwarded to the command", shipped("small.topo"), "echo ready; exec sleep 60", SIGTERM,
         128 + SIGTERM, "ready\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv = oddSignals;
        argv.insert(argv.end(), {MPIO_SANDBOX, "--topology", c.topology, "--", "/bin/sh", "-c", c.script});
        Background box(argv);
        EXPECT_TRUE(box.waitFor(c.out, 20000)) << box.seen();
        if (c.signal) box.signal(c.signal);
        const int status = box.wait(20000);
        EXPECT_NE(status, -1) << "the launcher did not end";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << "wait status " << status;
        EXPECT_EQ(box.seen(), c.out);
    }
}

TEST_F(Sandbox, TerminationIsForwardedAndCleanedUp) {
    for (int sig : {SIGTERM, SIGINT}) {
        ASSERT_FALSE(sim::loopAttached(kDiskLoop));
        const std::string kept = tmp / ("kept" + std::to_string(sig));
        Background box({MPIO_SANDBOX, "--topology", topologyFile(kDiskTopology), "--keep-state", kept, "--",
                        "/bin/sh", "-c", "echo ready; exec sleep 60"});
        ASSERT_TRUE(box.waitFor("ready\n")) << box.seen();
        box.signal(sig);
        const int status = box.wait();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
        EXPECT_FALSE(sim::loopAttached(kDiskLoop)) << "detached before the launcher exits";
        EXPECT_TRUE(std::filesystem::exists(kept + "/emcpowerc.img"));
    }
}

TEST_F(Sandbox, BusyLoopNumberIsAClearError) {
    const std::string topo = topologyFile(kDiskTopology);
    Background first({MPIO_SANDBOX, "--topology", topo, "--", "/bin/sh", "-c", "echo ready; exec sleep 60"});
    ASSERT_TRUE(first.waitFor("ready\n")) << first.seen();
    const auto second = inSandbox(topo, "echo should not run");
    EXPECT_EQ(second.exitStatus, sim::kSandboxFailed);
    EXPECT_EQ(second.out, "");
    EXPECT_TRUE(contains(second.err, "loop device /dev/loop32, needed for emcpowerc, is already in use")) << second.err;
    first.signal(SIGTERM);
    first.wait();
    EXPECT_TRUE(eventually([] { return !sim::loopAttached(kDiskLoop); }));
}

TEST_F(Sandbox, DefaultTopologyRunsTheDemoMachine) {
    EXPECT_EQ(outputOf(shipped("default.topo"), R"(
        powermt display dev=all | grep 'Pseudo' | awk 'BEGIN {FS="=";} {print $2;}' | wc -l
        stat -c '%n %t:%T' /dev/emcpoweraa /dev/emcpowerb /dev/emcpowerab
        test -e /dev/emcpowerd || echo "no emcpowerd"
        sfdisk -d /dev/emcpowerb | grep -c '^/dev/emcpowerb'
        blkid -p -o value -s PTTYPE /dev/emcpowerab
        powermt config && stat -c '%n %t:%T' /dev/emcpowerd
    )"),
              "27\n"
              "/dev/emcpoweraa 7:1a0\n"
              "/dev/emcpowerb 7:10\n"
              "/dev/emcpowerab 7:1b0\n"
              "no emcpowerd\n"
              "5\n"
              "gpt\n"
              "/dev/emcpowerd 7:30\n");
    EXPECT_TRUE(eventually([] { return !sim::loopAttached(16) && !sim::loopAttached(432); }));
}

} // namespace
