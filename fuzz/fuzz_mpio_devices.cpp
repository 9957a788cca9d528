// SPDX-License-Identifier: Apache-2.0
// getMPIODevices: the filtered "powermt display dev=all" output, with a
// fuzzed capacity. Input: capacity (signed byte), status selector, length of
// the error text, the error text, then the output.
#include "fake_host.h"
#include "fuzz_support.h"

using namespace fuzzsupport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int capacity = in.signedByte();
    const int status = statusFrom(in.byte());
    const std::string error = errorText(in);
    const std::string output = in.rest();

    fakeHost.reset();
    fakeHost.answer(kPseudoListing, {status, output, error});

    PathArray slots(capacity > 0 ? static_cast<std::size_t>(capacity) : 0);
    int count = capacity;
    ErrorOut out;
    const int r = getMPIODevices(nullptr, slots.data(), &count, &out.err, out.errbuf());

    FUZZ_CHECK(slots.intact() && out.buffer.intact(), "written past a buffer or the array");
    FUZZ_CHECK(fakeHost.commands() == std::vector<std::string>{kPseudoListing}, "one listing run");
    if (status != 0) {
        FUZZ_CHECK(r == failureResult(status), std::to_string(r));
        FUZZ_CHECK(out.err == status, std::to_string(out.err));
        FUZZ_CHECK(out.buffer.holdsCopyOf(error), "errbuf holds the error text, bounded");
        FUZZ_CHECK(count == capacity, "count untouched on failure");
        FUZZ_CHECK(slots.written().empty(), "no path on failure");
        return 0;
    }

    // Segments between newlines, and the one after the last, all count.
    std::vector<std::string> names;
    long long segments = 0;
    for (std::size_t from = 0;;) {
        const std::size_t nl = output.find('\n', from);
        const std::string segment = output.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
        if (!segment.empty()) names.push_back(segment);
        ++segments;
        if (nl == std::string::npos) break;
        from = nl + 1;
    }
    const std::size_t stored = fitting(names.size(), capacity);
    FUZZ_CHECK(r == (segments <= capacity ? 0 : segments), std::to_string(r) + " for " + std::to_string(segments));
    FUZZ_CHECK(count == static_cast<int>(stored), std::to_string(count));
    FUZZ_CHECK(count >= 0 && (capacity < 0 || count <= capacity), "count within the capacity");
    checkStoredPaths(slots, names, stored);
    FUZZ_CHECK(out.untouched(), "success reports nothing");
    return 0;
}
