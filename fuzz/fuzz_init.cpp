// SPDX-License-Identifier: Apache-2.0
// init: the admin major discovery output, and what the partition entry
// points make of the number it sets. Input: status selector, then the output.
#include <cstdio>

#include "fake_host.h"
#include "fuzz_support.h"
#include "plugin/plugin_internal.h"

using namespace tmmpio;

using namespace fuzzsupport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int status = statusFrom(in.byte());
    const std::string output = in.rest();

    fakeHost.reset();
    constexpr int kBefore = 4242;
    admin_major = kBefore;
    fakeHost.answer(kDiscovery, {status, output, "cat: /proc/devices: failed"});

    ErrorOut out;
    const char* vendor = init(nullptr, &out.err, out.errbuf());

    FUZZ_CHECK(out.buffer.intact(), "written past errbuf");
    FUZZ_CHECK(fakeHost.commands() == std::vector<std::string>{kDiscovery}, "one discovery run");
    const auto logs = fakeHost.logEntries();
    const int major = leadingInt(output);
    if (status != 0 || major <= 0) {
        FUZZ_CHECK(vendor == nullptr, "a failed discovery gives null");
        FUZZ_CHECK(admin_major.load() == kBefore, "a failed discovery leaves the number");
        FUZZ_CHECK(logs.empty(), "nothing logged on failure");
        // A run that failed reports nothing; one that gave no positive number says so.
        if (status != 0)
            FUZZ_CHECK(out.untouched(), "a failed run reports nothing");
        else
            FUZZ_CHECK(out.err == -1 && out.buffer.terminated() &&
                           out.buffer.text().rfind("init: no positive admin major number", 0) == 0,
                       out.buffer.text());
        return 0;
    }
    FUZZ_CHECK(out.untouched(), "a successful init reports nothing");
    FUZZ_CHECK(vendor == _VendorName, "the vendor name on success");
    FUZZ_CHECK(admin_major.load() == major, std::to_string(admin_major.load()) + " for " + std::to_string(major));
    FUZZ_CHECK(logs.size() == 1 && logs[0].tag == "init" && !logs[0].leveled, "one init entry");
    char text[64];
    std::snprintf(text, sizeof text, "Admin device major number :%d ", major);
    FUZZ_CHECK(logs[0].text == text + std::string(output.c_str()) + ".", logs[0].text);

    // The partition entry points recognise partitions by that number alone.
    if (nodesAvailable()) {
        const struct {
            const char* path;
            int major;
        } partitions[] = {{"/dev/emcpowerc1", 120}, {"/dev/emcpowerb1", 121}};
        for (const auto& p : partitions) {
            const int got = isPartitionDevice(nullptr, p.path, nullptr, nullptr, nullptr);
            FUZZ_CHECK(got == (major == p.major ? 1 : 0), p.path);
        }
        TmPartInfo records[2];
        int count = 2;
        fakeHost.scriptPartitions("/dev/emcpowerc", 0, {});
        const int listed = getPartitionDevices(nullptr, "/dev/emcpowerc", records, &count, 0, nullptr, nullptr);
        FUZZ_CHECK(listed == (major == 120 ? 0 : -1), std::to_string(listed));
    }
    return 0;
}
