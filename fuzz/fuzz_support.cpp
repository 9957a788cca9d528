// SPDX-License-Identifier: Apache-2.0
#include "fuzz_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fake_host.h"

namespace fuzzsupport {
namespace {

bool nodesInPlace = false;
std::vector<std::string> paths;

void makeNodes() {
    privateDev.enter();
    if (!privateDev.available()) {
        std::fprintf(stderr, "note: no private /dev, the node part is skipped: %s\n",
                     privateDev.whyUnavailable().c_str());
        return;
    }
    try {
        const struct {
            const char* path;
            int major, minor;
        } nodes[] = {{"/dev/emcpowera", 120, 0},   {"/dev/emcpowerc", 120, 32}, {"/dev/emcpowerc1", 120, 33},
                     {"/dev/emcpowerc2", 120, 34}, {"/dev/emcpowerd1", 120, 49}, {"/dev/emcpowerb", 121, 16},
                     {"/dev/emcpowerb1", 121, 17}, {"/dev/sdb", 8, 16},          {"/dev/sdc", 8, 32}};
        for (const auto& n : nodes) {
            privateDev.blockNode(n.path, n.major, n.minor);
            paths.push_back(n.path);
        }
        privateDev.charNode("/dev/chr", 1, 3);
        privateDev.symlink("../../emcpowerc", "/dev/disk/by-id/wwn-1");
        privateDev.regularFile("/dev/file");
        privateDev.directory("/dev/dir");
        for (const char* p : {"/dev/chr", "/dev/disk/by-id/wwn-1", "/dev/file", "/dev/dir"}) paths.push_back(p);
        nodesInPlace = true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "note: device nodes could not be made, the node part is skipped: %s\n", e.what());
        paths.clear();
    }
}

} // namespace

void fail(const char* condition, const char* file, int line, const std::string& detail) {
    std::fprintf(stderr, "\n==== invariant broken at %s:%d: %s\n     %s\n", file, line, condition, detail.c_str());
    std::abort();
}

bool nodesAvailable() { return nodesInPlace; }
const std::vector<std::string>& nodePaths() { return paths; }

std::string Input::take(std::size_t n) {
    if (n > size_ - at_) n = size_ - at_;
    std::string s(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return s;
}

std::string Input::upToNul() {
    const void* nul = std::memchr(data_ + at_, 0, size_ - at_);
    const std::size_t n = nul ? static_cast<const uint8_t*>(nul) - (data_ + at_) : size_ - at_;
    std::string s = take(n);
    if (nul) ++at_;
    return s;
}

int statusFrom(uint8_t selector) {
    static const int failures[] = {1, 2, 6, -1, -3, 127, 255, 256 + 9, 512, 514, INT_MIN, INT_MAX};
    if (selector < 208) return 0;
    return failures[selector % (sizeof failures / sizeof failures[0])];
}

int failureResult(int status) {
    if (status == INT_MIN) return INT_MIN; // has no positive counterpart
    return status < 0 ? status : -status;
}

std::string errorText(Input& in) {
    const uint8_t length = in.byte();
    std::string error = in.take(length);
    if (length > 250) error += std::string(1500, 'x');
    return error;
}

std::size_t fitting(std::size_t n, int capacity) {
    const std::size_t room = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
    return n < room ? n : room;
}

void checkStoredPaths(const PathArray& slots, const std::vector<std::string>& names, std::size_t stored) {
    for (std::size_t i = 0; i < slots.distinct(); ++i) {
        if (i < stored) {
            FUZZ_CHECK(slots.at(i).holdsCopyOf("/dev/" + names[i]), "path " + std::to_string(i));
        } else {
            FUZZ_CHECK(slots.at(i).untouched(), "buffer past the count written");
        }
    }
}

int leadingInt(const std::string& text) {
    errno = 0;
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

void checkCommands() {
    const auto faults = commandFaults(fakeHost.commands());
    FUZZ_CHECK(faults.empty(), faults.empty() ? "" : faults.front());
}

} // namespace fuzzsupport

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::makeNodes();
    return 0;
}
