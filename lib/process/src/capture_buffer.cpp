// SPDX-License-Identifier: Apache-2.0
#include "capture_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace mpio::process {

namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;
// A stream that has carried more than a default pipe holds moves into a
// mapping of its own.
constexpr std::size_t kLargeCapture = 64 * 1024;
constexpr std::size_t kFirstMapping = 8 * 1024 * 1024;
// take() copies this much at a time, then unmaps it.
constexpr std::size_t kCopyStep = 16 * 1024 * 1024;

std::uintptr_t alignUp(std::uintptr_t n, std::size_t to) { return (n + to - 1) / to * to; }

// Reserves size bytes at a 2 MiB boundary: maps one huge page more than
// asked, then unmaps the unaligned head and the tail.
char* mapAligned(std::size_t size) {
    if (size > SIZE_MAX - kHugePage) throw std::bad_alloc();
    const std::size_t total = size + kHugePage;
    void* raw = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    char* const start = static_cast<char*>(raw);
    char* const aligned = reinterpret_cast<char*>(alignUp(reinterpret_cast<std::uintptr_t>(start), kHugePage));
    if (aligned > start) ::munmap(start, static_cast<std::size_t>(aligned - start));
    char* const end = start + total;
    if (end > aligned + size) ::munmap(aligned + size, static_cast<std::size_t>(end - (aligned + size)));
    ::madvise(aligned, size, MADV_HUGEPAGE);
    return aligned;
}

} // namespace

void adviseHugePages(void* data, std::size_t size) {
    const auto begin = alignUp(reinterpret_cast<std::uintptr_t>(data), kHugePage);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) / kHugePage * kHugePage;
    // Advice only: a kernel without transparent huge pages refuses, and the
    // memory works the same.
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

HugeMapping::~HugeMapping() { reset(); }

void HugeMapping::allocate(std::size_t size) {
    char* const fresh = mapAligned(size);
    reset();
    base_ = fresh;
    size_ = size;
}

void HugeMapping::grow(std::size_t size) {
    if (size <= size_) return;
    // In place when the addresses after it are free; else the pages move to
    // a fresh aligned reservation, which keeps them whole huge pages.
    if (::mremap(base_, size_, size, 0) != MAP_FAILED) {
        ::madvise(base_, size, MADV_HUGEPAGE);
        size_ = size;
        return;
    }
    char* const target = mapAligned(size);
    if (::mremap(base_, size_, size, MREMAP_MAYMOVE | MREMAP_FIXED, target) == MAP_FAILED) {
        ::munmap(target, size);
        throw std::bad_alloc();
    }
    ::madvise(target, size, MADV_HUGEPAGE);
    base_ = target;
    size_ = size;
}

void HugeMapping::dropFront(std::size_t n) {
    if (n >= size_) return reset();
    ::munmap(base_, n);
    base_ += n;
    size_ -= n;
}

void HugeMapping::reset() {
    if (base_) ::munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
}

std::span<char> CaptureBuffer::space(std::span<char> scratch) {
    if (!mapping_ || size_ >= limit_) return scratch;
    if (size_ == mapping_.size()) {
        const std::size_t cap = limit_ > SIZE_MAX / 2 ? SIZE_MAX / 2 : alignUp(limit_, kHugePage);
        mapping_.grow(std::min(2 * mapping_.size(), cap));
    }
    return {mapping_.data() + size_, std::min(mapping_.size(), limit_) - size_};
}

void CaptureBuffer::commit(std::span<const char> read, std::size_t got) {
    if (mapping_ && size_ < limit_) { // read straight into the mapping
        size_ += got;
        return;
    }
    const std::size_t keep = std::min(got, limit_ - size_);
    if (keep < got) truncated_ = true;
    if (keep == 0) return;
    small_.append(read.data(), keep);
    size_ += keep;
    if (size_ >= kLargeCapture && size_ < limit_) moveIntoMapping();
}

void CaptureBuffer::moveIntoMapping() {
    mapping_.allocate(std::max(kFirstMapping, alignUp(size_, kHugePage)));
    std::memcpy(mapping_.data(), small_.data(), size_);
    std::string().swap(small_);
}

std::string CaptureBuffer::take() {
    if (!mapping_) return std::move(small_);
    std::string result;
    result.reserve(size_);
    adviseHugePages(result.data(), result.capacity());
    for (std::size_t done = 0; done < size_;) {
        const std::size_t step = std::min(kCopyStep, size_ - done);
        result.append(mapping_.data(), step);
        if (step == kCopyStep) mapping_.dropFront(step);
        done += step;
    }
    mapping_.reset();
    size_ = 0;
    return result;
}

} // namespace mpio::process
