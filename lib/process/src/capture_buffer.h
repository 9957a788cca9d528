// SPDX-License-Identifier: Apache-2.0
// Where one captured stream's bytes are kept while a run lasts.
//
// Up to 64 KiB (what a default pipe holds) they go into a string, read
// through the run's scratch buffer. Past that, they are read straight into a
// mapping of the buffer's own, 2 MiB aligned and advised as transparent huge
// pages, which grows by doubling with mremap, moving page tables instead of
// copying bytes. A large capture costs first touches of fresh memory, not
// copying: a string that grows by doubling touches twice the output in 4 KiB
// pages, each a page fault, and on a virtual machine a fault costs about
// 10 us; an output of under 1 MiB (the partition listing of 10,000 devices)
// took more than 100 of them per run that way, and takes one huge page now. take() copies the mapping once into the string the caller gets,
// whose storage is advised the same way, and unmaps the mapping behind the
// copy, so that resident memory stays near the size of the output.
#ifndef MPIO_PROCESS_CAPTURE_BUFFER_H
#define MPIO_PROCESS_CAPTURE_BUFFER_H

#include <cstddef>
#include <span>
#include <string>

#pragma GCC visibility push(hidden)

namespace mpio::process {

// An anonymous mapping, 2 MiB aligned, advised as huge pages. Failures to
// map or grow throw std::bad_alloc.
class HugeMapping {
public:
    HugeMapping() = default;
    HugeMapping(const HugeMapping&) = delete;
    HugeMapping& operator=(const HugeMapping&) = delete;
    ~HugeMapping();

    char* data() const { return base_; }
    std::size_t size() const { return size_; }
    explicit operator bool() const { return base_ != nullptr; }

    void allocate(std::size_t size);
    void grow(std::size_t size);
    // Unmaps the first n bytes (a multiple of the page size), or all.
    void dropFront(std::size_t n);
    void reset();

private:
    char* base_ = nullptr;
    std::size_t size_ = 0;
};

class CaptureBuffer {
public:
    explicit CaptureBuffer(std::size_t limit) : limit_(limit) {}

    // Where the next read goes: the mapping's free room, or scratch.
    std::span<char> space(std::span<char> scratch);
    // got bytes were read into the span that space() just gave.
    void commit(std::span<const char> read, std::size_t got);

    bool truncated() const { return truncated_; }
    std::string take();

private:
    void moveIntoMapping();

    std::size_t limit_;
    std::size_t size_ = 0;
    bool truncated_ = false;
    std::string small_;
    HugeMapping mapping_;
};

// Advises the whole 2 MiB pages inside [data, data + size) as huge pages.
void adviseHugePages(void* data, std::size_t size);

} // namespace mpio::process

#pragma GCC visibility pop

#endif
