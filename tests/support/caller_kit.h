// SPDX-License-Identifier: Apache-2.0
// The caller's side of an entry point call: an error out-parameter, a path
// array and a record array, each filled with a marker so that a test can
// tell exactly what a call wrote, with guard bytes behind every buffer. A
// buffer whose guard was overwritten aborts the program when it goes away,
// unless a test already saw it through intact(). Free of GoogleTest so that
// the fuzz targets can use it; gtest_layer.h turns faults into
// assertion results.
#ifndef TESTS_SUPPORT_CALLER_KIT_H
#define TESTS_SUPPORT_CALLER_KIT_H

#include <cstddef>
#include <string>
#include <vector>

#include "TmMPIO_EMCPowerPath.h"

namespace mpiotest {

constexpr char kMarker = '#';
constexpr std::size_t kGuardBytes = 64;

// A caller-owned area of size bytes, filled with kMarker, followed by
// kGuardBytes guard bytes.
class Bytes {
public:
    explicit Bytes(std::size_t size = MAXMPIOPATHLEN);
    Bytes(const Bytes& other);
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes();

    char* data() { return bytes_.data(); }
    const char* data() const { return bytes_.data(); }
    std::size_t size() const { return size_; }

    bool intact() const;              // the guard bytes are as they were
    bool untouched() const;           // every byte of the area is still the marker
    bool terminated() const;          // a NUL lies within the area
    bool zeroFilledAfterText() const; // NUL from the end of the text to the last byte
    std::string text() const;         // up to the first NUL (or the whole area)
    // Empty when the area holds exactly text, then NUL bytes to its end;
    // otherwise what differs.
    std::string fault(const std::string& expected) const;
    // The area holds a bounded copy of text: its first size() - 1 bytes, then NUL bytes.
    bool holdsCopyOf(const std::string& text) const;

private:
    std::size_t size_;
    std::vector<char> bytes_;
    mutable bool guardSeenBroken_ = false;
};

// An int out-parameter between two guard ints.
class Int {
public:
    explicit Int(int value) : cells_{kGuard, value, kGuard} {}
    int* get() { return &cells_[1]; }
    int value() const { return cells_[1]; }
    bool intact() const { return cells_[0] == kGuard && cells_[2] == kGuard; }

private:
    static constexpr int kGuard = 0x0badf00d;
    int cells_[3];
};

// The err and errbuf arguments of one call.
struct ErrorOut {
    static constexpr int kUnwritten = 0x5eed;
    int err = kUnwritten;
    Bytes buffer{MAXMPIOERRORLEN};

    char* errbuf() { return buffer.data(); }
    const char* errbuf() const { return buffer.data(); }
    bool intact() const { return buffer.intact(); }
    bool untouched() const { return err == kUnwritten && buffer.untouched(); }
    std::string text() const { return buffer.text(); }
    bool zeroFilledAfterText() const { return buffer.zeroFilledAfterText(); }
    // Empty when err is code and errbuf holds exactly text, NUL-filled.
    std::string fault(int code, const std::string& expected) const;
};

// A caller's path array: `distinct` buffers of MAXMPIOPATHLEN bytes and, when
// capacity is larger, further elements that all point at one spare buffer
// (valid, but nothing should be written there in a test that expects at
// most `distinct` paths). Behind the last element lie kTrapSlots more
// elements pointing at a trap buffer that no call may touch.
class PathArray {
public:
    static constexpr std::size_t kTrapSlots = 4;

    PathArray(std::size_t capacity, std::size_t distinct);
    explicit PathArray(std::size_t capacity) : PathArray(capacity, capacity) {}
    char** data() { return pointers_.data(); }
    std::size_t distinct() const { return buffers_.size(); }
    const Bytes& at(std::size_t i) const { return buffers_.at(i); }
    std::string text(std::size_t i) const { return at(i).text(); }
    bool untouched(std::size_t i) const { return at(i).untouched(); }
    bool zeroFilledAfterText(std::size_t i) const { return at(i).zeroFilledAfterText(); }

    // Every guard intact, and the spare and trap buffers untouched.
    bool intact() const;
    // The paths of the buffers that were written, in order.
    std::vector<std::string> written() const;
    // Index of the first buffer that was written without being zero-filled
    // after its text, or -1.
    long badlyFilled() const;
    // The written buffers form a prefix of the array.
    bool writtenFormPrefix() const;
    // Empty when the first buffers hold exactly these paths, the others are
    // untouched and the array is intact.
    std::string fault(const std::vector<std::string>& paths) const;

private:
    std::vector<Bytes> buffers_;
    Bytes spare_;
    Bytes trap_;
    std::vector<char*> pointers_;
};

// A caller's record array, filled with a marker, with one guard record behind it.
class RecordArray {
public:
    explicit RecordArray(std::size_t capacity);
    ~RecordArray();
    RecordArray(const RecordArray&) = delete;
    RecordArray& operator=(const RecordArray&) = delete;

    TmPartInfo* data() { return records_.data(); }
    std::size_t capacity() const { return capacity_; }
    const TmPartInfo& at(std::size_t i) const { return records_.at(i); }
    bool intact() const;
    bool untouched(std::size_t i) const;
    // Records i to the end of the array still hold the marker.
    bool untouchedFrom(std::size_t i) const;
    // Every record, the guard too, holds the marker again.
    void refill();

private:
    std::size_t capacity_;
    std::vector<TmPartInfo> records_;
    mutable bool guardSeenBroken_ = false;
};

// The entries of /proc/self/fd (the directory's own descriptor included).
int openDescriptors();

} // namespace mpiotest

#endif // TESTS_SUPPORT_CALLER_KIT_H
