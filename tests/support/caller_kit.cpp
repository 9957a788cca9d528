// SPDX-License-Identifier: Apache-2.0
#include "caller_kit.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mpiotest {
namespace {

constexpr unsigned char kGuardByte = 0xA5;

bool allAre(const void* begin, std::size_t n, unsigned char value) {
    const auto* bytes = static_cast<const unsigned char*>(begin);
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] != value) return false;
    return true;
}

// A write past a caller's buffer that no test looked at must not pass unseen.
void abortOnUnseenOverrun(bool broken, bool seen, const char* what) {
    if (!broken || seen) return;
    std::fprintf(stderr, "caller kit: a call wrote past the end of a caller's %s\n", what);
    std::abort();
}

} // namespace

Bytes::Bytes(std::size_t size) : size_{size}, bytes_(size + kGuardBytes, static_cast<char>(kGuardByte)) {
    std::memset(bytes_.data(), kMarker, size_);
}

Bytes::Bytes(const Bytes& other) : size_{other.size_}, bytes_(other.bytes_) {}

Bytes::~Bytes() { abortOnUnseenOverrun(!allAre(bytes_.data() + size_, kGuardBytes, kGuardByte), guardSeenBroken_, "buffer"); }

bool Bytes::intact() const {
    const bool ok = allAre(bytes_.data() + size_, kGuardBytes, kGuardByte);
    guardSeenBroken_ = guardSeenBroken_ || !ok;
    return ok;
}

bool Bytes::untouched() const { return allAre(bytes_.data(), size_, static_cast<unsigned char>(kMarker)); }

bool Bytes::terminated() const { return std::memchr(bytes_.data(), '\0', size_) != nullptr; }

std::string Bytes::text() const { return std::string(bytes_.data(), strnlen(bytes_.data(), size_)); }

bool Bytes::zeroFilledAfterText() const {
    const std::size_t length = strnlen(bytes_.data(), size_);
    return length < size_ && allAre(bytes_.data() + length, size_ - length, 0);
}

std::string Bytes::fault(const std::string& expected) const {
    if (!intact()) return "written past its end";
    if (!terminated()) return "no NUL in the buffer";
    if (text() != expected)
        return "holds [" + text().substr(0, 200) + "], not [" + expected.substr(0, 200) + "]";
    if (!zeroFilledAfterText()) return "not NUL after the text";
    return {};
}

bool Bytes::holdsCopyOf(const std::string& text) const {
    const std::size_t n = text.size() < size_ - 1 ? text.size() : size_ - 1;
    return std::memcmp(bytes_.data(), text.data(), n) == 0 && allAre(bytes_.data() + n, size_ - n, 0);
}

std::string ErrorOut::fault(int code, const std::string& expected) const {
    if (err != code) return "err is " + std::to_string(err) + ", not " + std::to_string(code);
    const std::string why = buffer.fault(expected);
    return why.empty() ? why : "errbuf " + why;
}

PathArray::PathArray(std::size_t capacity, std::size_t distinct)
    : buffers_(distinct < capacity ? distinct : capacity) {
    pointers_.reserve(capacity + kTrapSlots);
    for (std::size_t i = 0; i < capacity; ++i)
        pointers_.push_back(i < buffers_.size() ? buffers_[i].data() : spare_.data());
    for (std::size_t i = 0; i < kTrapSlots; ++i) pointers_.push_back(trap_.data());
}

bool PathArray::intact() const {
    bool ok = spare_.intact() && spare_.untouched() && trap_.intact() && trap_.untouched();
    for (const Bytes& b : buffers_) ok = b.intact() && ok;
    return ok;
}

std::vector<std::string> PathArray::written() const {
    std::vector<std::string> paths;
    for (const Bytes& b : buffers_)
        if (!b.untouched()) paths.push_back(b.text());
    return paths;
}

long PathArray::badlyFilled() const {
    for (std::size_t i = 0; i < buffers_.size(); ++i)
        if (!buffers_[i].untouched() && !buffers_[i].zeroFilledAfterText()) return static_cast<long>(i);
    return -1;
}

bool PathArray::writtenFormPrefix() const {
    bool gap = false;
    for (const Bytes& b : buffers_) {
        if (b.untouched())
            gap = true;
        else if (gap)
            return false;
    }
    return true;
}

std::string PathArray::fault(const std::vector<std::string>& paths) const {
    if (paths.size() > buffers_.size()) return "more paths expected than buffers offered";
    for (std::size_t i = 0; i < paths.size(); ++i)
        if (std::string why = buffers_[i].fault(paths[i]); !why.empty())
            return why + " (buffer " + std::to_string(i) + ")";
    for (std::size_t i = paths.size(); i < buffers_.size(); ++i)
        if (!buffers_[i].untouched()) return "buffer " + std::to_string(i) + " was written";
    if (!intact()) return "written past a buffer or past the array";
    return {};
}

RecordArray::RecordArray(std::size_t capacity) : capacity_{capacity}, records_(capacity + 1) { refill(); }

void RecordArray::refill() {
    std::memset(static_cast<void*>(records_.data()), kGuardByte, records_.size() * sizeof(TmPartInfo));
}

bool RecordArray::untouchedFrom(std::size_t i) const {
    return i <= capacity_ && allAre(records_.data() + i, (capacity_ - i) * sizeof(TmPartInfo), kGuardByte);
}

RecordArray::~RecordArray() {
    abortOnUnseenOverrun(!untouched(capacity_), guardSeenBroken_, "record array");
}

bool RecordArray::untouched(std::size_t i) const { return allAre(&records_.at(i), sizeof(TmPartInfo), kGuardByte); }

bool RecordArray::intact() const {
    const bool ok = untouched(capacity_);
    guardSeenBroken_ = guardSeenBroken_ || !ok;
    return ok;
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

} // namespace mpiotest
