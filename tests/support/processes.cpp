// SPDX-License-Identifier: Apache-2.0
#include "processes.h"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace mpiotest {
namespace {

struct ProcessEntry {
    pid_t pid = 0;
    char state = 0; // R, S, Z (zombie), ...
    pid_t parent = 0;
    pid_t group = 0;
    bool alive() const { return state != 'Z' && state != 'X'; }
};

// Every process in /proc now; one that ends while it is read is left out.
std::vector<ProcessEntry> processTable() {
    std::vector<ProcessEntry> table;
    DIR* d = ::opendir("/proc");
    if (!d) return table;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string stat;
        if (!std::getline(in, stat) || stat.rfind(')') == std::string::npos) continue;
        ProcessEntry entry;
        entry.pid = static_cast<pid_t>(std::stol(e->d_name));
        std::istringstream rest(stat.substr(stat.rfind(')') + 2)); // after the command name
        if (rest >> entry.state >> entry.parent >> entry.group) table.push_back(entry);
    }
    ::closedir(d);
    return table;
}

} // namespace

bool noChildren() {
    errno = 0;
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

std::vector<std::string> childrenLeft() {
    std::vector<std::string> left;
    for (const auto& p : processTable())
        if (p.parent == ::getpid()) left.push_back(std::to_string(p.pid) + " " + p.state);
    return left;
}

bool runs(pid_t pid) {
    for (const auto& p : processTable())
        if (p.pid == pid) return p.alive();
    return false;
}

bool groupRuns(pid_t group) {
    for (const auto& p : processTable())
        if (p.group == group && p.alive()) return true;
    return false;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace mpiotest
