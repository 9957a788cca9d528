// SPDX-License-Identifier: Apache-2.0
#include "stub_machine.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "text.h"

// The stub machine shows its own /proc/partitions and nodes in a private /dev.
MPIOTEST_PROGRAM_USES_PRIVATE_DEV();

namespace integration {
namespace {

void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    {
        std::ofstream out(path, std::ios::trunc);
        out << text;
        if (!out) throw std::runtime_error("cannot write " + path);
    }
    ::chmod(path.c_str(), mode);
}

} // namespace

StubMachine::StubMachine() {
    std::filesystem::create_directories(dir_ / "bin");
    std::filesystem::create_directories(dir_ / "work");
    writeFile(dir_ / "calls", "");
    if (const char* path = std::getenv("PATH")) oldPath_ = path;
    oldCwd_ = std::filesystem::current_path().string();
    for (const char* system : {"/usr/bin/powermt", "/bin/powermt"})
        if (::access(system, F_OK) == 0) throw std::runtime_error(std::string(system) + " exists: not a test machine");
    // The private /dev starts empty; shells want /dev/null (for the input
    // of a background job, for one).
    if (privateDev.available()) privateDev.charNode("/dev/null", 1, 3);
    ::setenv("PATH", (dir_ / "bin:/usr/bin:/bin").c_str(), 1);
    std::filesystem::current_path(dir_ / "work");
    powermt("exit 0");
}

StubMachine::~StubMachine() {
    std::error_code ec;
    std::filesystem::current_path(oldCwd_, ec);
    ::setenv("PATH", oldPath_.c_str(), 1);
}

void StubMachine::powermt(const std::string& body) {
    writeFile(dir_ / "bin/powermt",
              "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + dir() + "/calls'\n" + body + "\n", 0755);
}

void StubMachine::powermtOrNone(const std::string& body) {
    if (body.empty())
        std::filesystem::remove(dir_ / "bin/powermt");
    else
        powermt(body);
}

std::vector<std::string> StubMachine::calls() const { return lines(readFile(dir_ / "calls")); }

void StubMachine::clearCalls() { writeFile(dir_ / "calls", ""); }

std::vector<std::string> StubMachine::workFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / "work"))
        names.push_back(entry.path().filename().string());
    return names;
}

::testing::AssertionResult showProcPartitions(const std::string& text) {
    if (!privateDev.available())
        return ::testing::AssertionFailure() << "no private mount namespace: " << privateDev.whyUnavailable();
    // The file lies in the private /dev, so that it goes with the namespace.
    static const std::string shown = [] {
        const std::string file = "/dev/.proc-partitions";
        privateDev.regularFile(file);
        if (::mount(file.c_str(), "/proc/partitions", nullptr, MS_BIND, nullptr) != 0)
            return std::string("bind mount over /proc/partitions: ") + std::strerror(errno);
        return std::string();
    }();
    if (!shown.empty()) return ::testing::AssertionFailure() << shown;
    // Rewritten in place: the bind mount shows this inode.
    std::ofstream out("/dev/.proc-partitions", std::ios::trunc);
    out << text;
    out.close();
    if (!out) return ::testing::AssertionFailure() << "cannot write the shown /proc/partitions";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult stubPseudoDevice() {
    if (!privateDev.available())
        return ::testing::AssertionFailure() << "no private /dev: " << privateDev.whyUnavailable();
    privateDev.blockNode("/dev/emcpowera", kStubMajor, 0);
    return showProcPartitions("major minor  #blocks  name\n\n " + std::to_string(kStubMajor) +
                              "        0    1048576 emcpowera\n");
}

} // namespace integration
