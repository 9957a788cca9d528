// Checks shared by the reliability tests and the fuzz targets: buffers with
// guard bytes behind them, and the audit of the command lines the plug-in
// gave the host's process runner. Free of GoogleTest so that the fuzz
// targets can use them.
#ifndef TESTS_RELIABILITY_INVARIANTS_H
#define TESTS_RELIABILITY_INVARIANTS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "TmMPIO_EMCPowerPath.h"

namespace reliability {

// The admin major discovery pipeline init runs.
inline const std::string kDiscovery = "cat /proc/devices | grep 'power2' | awk '{print $1}'";

// A name that may follow "dev=" on a command line: made only of letters,
// digits, ".", "_", "-" and "/", and not starting with "-".
bool isSafeDeviceName(std::string_view name);

// One finding per command line that is not one of the plug-in's command
// forms, or that carries an unsafe name after "dev=". Empty when all is well.
std::vector<std::string> commandFaults(const std::vector<std::string>& commands);

// The name after "dev=" of a path query or a removal; empty for the others.
std::string deviceNameOf(const std::string& command);

// A caller-owned area of size bytes followed by kGuard guard bytes. The area
// starts filled with a marker byte so that a test can tell what was written.
class GuardedBytes {
public:
    static constexpr std::size_t kGuard = 64;
    static constexpr char kMarker = '#';

    explicit GuardedBytes(std::size_t size = MAXMPIOPATHLEN);
    char* data() { return bytes_.data(); }
    const char* data() const { return bytes_.data(); }
    std::size_t size() const { return size_; }

    bool guardIntact() const;
    bool untouched() const;         // every byte of the area is still the marker
    bool terminated() const;        // a NUL lies within the area
    bool zeroFilledAfterText() const; // NUL from the end of the text to the last byte
    std::string text() const;       // up to the first NUL (or the whole area)

private:
    std::size_t size_;
    std::vector<char> bytes_;
};

// A caller's path array: `distinct` guarded buffers of MAXMPIOPATHLEN bytes
// and, when capacity is larger, further elements that all point at one spare
// guarded buffer (valid buffers, but nothing should ever be written there in
// a test that expects at most `distinct` paths). Behind the last element lie
// kTrapSlots more elements pointing at a trap buffer that no call may touch.
class PathSlots {
public:
    static constexpr std::size_t kTrapSlots = 4;

    PathSlots(std::size_t capacity, std::size_t distinct);
    explicit PathSlots(std::size_t capacity) : PathSlots(capacity, capacity) {}
    char** data() { return pointers_.data(); }
    std::size_t distinct() const { return buffers_.size(); }
    const GuardedBytes& at(std::size_t i) const { return buffers_[i]; }

    // Every guard intact, and the spare and trap buffers untouched.
    bool intact() const;
    // The paths of the buffers that were written, in order.
    std::vector<std::string> written() const;
    // Index of the first buffer that was written without being zero-filled
    // after its text, or -1.
    long badlyFilled() const;
    // Number of written buffers; written ones must form a prefix.
    bool writtenFormPrefix() const;

private:
    std::vector<GuardedBytes> buffers_;
    GuardedBytes spare_;
    GuardedBytes trap_;
    std::vector<char*> pointers_;
};

// A caller's record array with one guard record behind it.
class RecordSlots {
public:
    explicit RecordSlots(std::size_t capacity);
    TmPartInfo* data() { return records_.data(); }
    bool guardIntact() const;
    bool untouched(std::size_t i) const;
    const TmPartInfo& at(std::size_t i) const { return records_[i]; }
    std::size_t capacity() const { return capacity_; }

private:
    std::size_t capacity_;
    std::vector<TmPartInfo> records_;
};

} // namespace reliability

#endif
