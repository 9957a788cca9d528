// SPDX-License-Identifier: Apache-2.0
// getUnderlyingDevices: the filtered "powermt display dev=NAME" output, with
// a fuzzed capacity and device. Input: capacity (signed byte), status
// selector, device selector, length of the error text, the error text, then
// the output.
#include <cerrno>

#include "fake_host.h"
#include "fuzz_support.h"
#include "plugin/plugin_internal.h"

using namespace tmmpio;

using namespace fuzzsupport;

namespace {

struct Device {
    const char* path;
    const char* asked;  // the name powermt is asked about; null: not a pseudo device
    bool orphan;        // a partition whose parent node is missing
};

const Device kDevices[] = {
    {"/dev/emcpowerc", "emcpowerc", false},
    {"/dev/emcpowerc1", "emcpowerc", false},   // a partition: its parent is asked about
    {"/dev/emcpowerd1", "emcpowerd1", true},   // the parent is missing: asked about itself
    {"/dev/disk/by-id/wwn-1", "emcpowerc", false},
    {"emcpowerc", "emcpowerc", false},
    {"/dev/emcpowerc\n", "emcpowerc", false},
    {"/dev/sdb", nullptr, false},
    {"/dev/missing", nullptr, false},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int capacity = in.signedByte();
    const int status = statusFrom(in.byte());
    const Device& device = kDevices[in.byte() % (sizeof kDevices / sizeof kDevices[0])];
    const std::string error = errorText(in);
    const std::string output = in.rest();

    fakeHost.reset();
    admin_major = kAdminMajor;
    fakeHost.answer(kPartitionListing, {0, "120 32 emcpowerc\n120 33 emcpowerc1\n120 49 emcpowerd1\n", ""});
    if (device.asked) fakeHost.answer(pathQuery(device.asked), {status, output, error});

    PathArray slots(capacity > 0 ? static_cast<std::size_t>(capacity) : 0);
    int count = capacity;
    ErrorOut out;
    const int r = getUnderlyingDevices(nullptr, device.path, slots.data(), &count, &out.err, out.errbuf());

    FUZZ_CHECK(slots.intact() && out.buffer.intact(), "written past a buffer or the array");
    checkCommands();
    const bool resolves = nodesAvailable() && device.asked != nullptr;
    if (!resolves) {
        FUZZ_CHECK(r == -6, std::to_string(r));
        FUZZ_CHECK(count == capacity && slots.written().empty(), "nothing written for a non-pseudo device");
        FUZZ_CHECK(out.untouched(), "nothing reported for a non-pseudo device");
        return 0;
    }
    FUZZ_CHECK(fakeHost.commands() ==
                   (std::vector<std::string>{kPartitionListing, pathQuery(device.asked)}),
               "the listing, then the path query about " + std::string(device.asked));
    if (status != 0) {
        FUZZ_CHECK(r == failureResult(status), std::to_string(r));
        FUZZ_CHECK(out.err == status && out.buffer.holdsCopyOf(error), "the failure is reported");
        FUZZ_CHECK(count == capacity && slots.written().empty(), "nothing written on failure");
        return 0;
    }

    // Lines between newlines; empty ones neither copied nor counted.
    std::vector<std::string> pieces;
    for (std::size_t from = 0; from < output.size();) {
        std::size_t nl = output.find('\n', from);
        if (nl == std::string::npos) nl = output.size();
        if (nl > from) pieces.push_back(output.substr(from, nl - from));
        from = nl + 1;
    }
    const long long found = static_cast<long long>(pieces.size());
    const std::size_t copied = fitting(pieces.size(), capacity);
    FUZZ_CHECK(r == (found <= capacity ? 0 : found), std::to_string(r));
    FUZZ_CHECK(count == static_cast<int>(copied), std::to_string(count));
    checkStoredPaths(slots, pieces, copied);
    if (device.orphan) {
        FUZZ_CHECK(out.err == ENOENT, "the failed parent check stays in err");
        FUZZ_CHECK(out.buffer.text() == "pdev stat failed /dev/emcpowerd1(parent:/dev/emcpowerd) :2", out.buffer.text());
    } else {
        FUZZ_CHECK(out.untouched(), "success reports nothing");
    }
    return 0;
}
