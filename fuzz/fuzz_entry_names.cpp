// SPDX-License-Identifier: Apache-2.0
// Arbitrary device paths and names for every entry point that takes one,
// against a fuzzed host: the input is split into the path and a script.
// Input: flags, capacity (signed byte), reader result selector, then the
// path, the /proc/partitions listing output and the path-query output, each
// ended by a NUL byte, then 32-byte slices for the partition reader.
#include <cstring>

#include "fake_host.h"
#include "fuzz_support.h"
#include "plugin/plugin_internal.h"

using namespace tmmpio;

using namespace fuzzsupport;

namespace {

constexpr int kUntouched = 0x5eed;

bool isParentPath(const std::string& text) {
    const std::string prefix = "/dev/emcpower";
    if (text.compare(0, prefix.size(), prefix) != 0 || text.size() == prefix.size()) return false;
    for (std::size_t i = prefix.size(); i < text.size(); ++i)
        if (text[i] < 'a' || text[i] > 'z') return false;
    return true;
}

// Runs a call, then checks the command lines it ran.
template <typename Call>
auto audited(Call call) {
    const std::size_t before = fakeHost.commands().size();
    auto result = call();
    checkCommands();
    return std::make_pair(result, fakeHost.commands().size() - before);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t flags = in.byte();
    const int capacity = in.signedByte();
    const uint8_t readerSelector = in.byte();
    const std::string path = in.upToNul();
    const std::string listing = in.upToNul();
    const std::string pathOutput = in.upToNul();
    std::vector<slice> slices;
    for (std::string raw; (raw = in.take(sizeof(slice))).size() == sizeof(slice) && slices.size() < 40;) {
        slice s;
        std::memcpy(&s, raw.data(), sizeof s);
        slices.push_back(s);
    }
    const int readerResult = readerSelector < 192 ? static_cast<int>(slices.size()) + readerSelector % 3
                                                  : -static_cast<int>(readerSelector % 40) - 1;

    fakeHost.reset();
    admin_major = (flags & 1) ? kAdminMajor : 0;
    fakeHost.respondWith([&](const std::string& command) -> Reply {
        if (command == kPartitionListing) return {0, listing, ""};
        if (command != kPseudoListing && command.find("powermt display dev=") != std::string::npos)
            return {0, pathOutput, ""};
        return {0, "", ""};
    });
    fakeHost.scriptPartitions(path, readerResult, slices);
    const char* p = path.c_str();
    const std::size_t room = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;

    // FindMpDeviceName and isMPIODevice agree; a miss leaves the path as it was.
    std::string name = "junk";
    const int found = audited([&] { return FindMpDeviceName(p, name); }).first;
    FUZZ_CHECK(found == 0 || found == 1, std::to_string(found));
    if (found == 0) FUZZ_CHECK(name == path, name);
    {
        int err = kUntouched;
        Bytes errbuf(MAXMPIOERRORLEN);
        const int r = audited([&] { return isMPIODevice(nullptr, p, &err, errbuf.data()); }).first;
        FUZZ_CHECK(r == found, "isMPIODevice and FindMpDeviceName disagree");
        FUZZ_CHECK(err == kUntouched && errbuf.untouched() && errbuf.intact(), "isMPIODevice reports nothing");
    }

    // getUnderlyingDevices.
    {
        PathArray slots(room);
        int count = capacity;
        int err = kUntouched;
        Bytes errbuf(MAXMPIOERRORLEN);
        const int r = audited([&] {
                          return getUnderlyingDevices(nullptr, p, slots.data(), &count, &err, errbuf.data());
                      }).first;
        FUZZ_CHECK(slots.intact() && errbuf.intact(), "written past a buffer or the array");
        FUZZ_CHECK(errbuf.untouched() || errbuf.terminated(), "errbuf without its NUL");
        if (found == 0) {
            FUZZ_CHECK(r == -6 && count == capacity && slots.written().empty(), std::to_string(r));
            FUZZ_CHECK(err == kUntouched && errbuf.untouched(), "nothing reported for a non-pseudo device");
        } else if (r == -1) {
            FUZZ_CHECK(err == -1 && !errbuf.text().empty(), "a refused name is reported");
            FUZZ_CHECK(count == capacity && slots.written().empty(), "nothing written for a refused name");
        } else {
            FUZZ_CHECK(r >= 0 && (r == 0 || r > capacity), std::to_string(r));
            FUZZ_CHECK(count >= 0 && static_cast<std::size_t>(count) <= room, std::to_string(count));
            FUZZ_CHECK(slots.writtenFormPrefix() && slots.written().size() == static_cast<std::size_t>(count),
                       "the first count buffers are written");
            FUZZ_CHECK(slots.badlyFilled() == -1, "a path buffer not zero-filled after its text");
            for (const std::string& written : slots.written())
                FUZZ_CHECK(written.compare(0, 5, "/dev/") == 0, written);
        }
    }

    // deleteMPIODevice: all three commands, or none and a refusal.
    {
        int err = kUntouched;
        Bytes errbuf(MAXMPIOERRORLEN);
        const auto [r, ran] = audited([&] { return deleteMPIODevice(nullptr, p, &err, errbuf.data()); });
        FUZZ_CHECK(errbuf.intact(), "written past errbuf");
        if (r == 0) {
            FUZZ_CHECK(ran == 3 && err == kUntouched && errbuf.untouched(), "remove, release, save");
            const auto commands = fakeHost.commands();
            FUZZ_CHECK(commands[commands.size() - 2] == "powermt release" && commands.back() == "powermt save",
                       commands.back());
        } else {
            FUZZ_CHECK(r == -1 && ran == 0 && err == -1 && errbuf.terminated() && !errbuf.text().empty(),
                       std::to_string(r));
        }
    }

    // isPartitionDevice, with and without its out-parameters.
    {
        int err = kUntouched;
        Bytes errbuf(MAXMPIOERRORLEN);
        Bytes parent(MAXMPIOPATHLEN);
        const int r = isPartitionDevice(nullptr, p, parent.data(), &err, errbuf.data());
        FUZZ_CHECK(errbuf.intact() && parent.intact(), "written past a buffer");
        FUZZ_CHECK(r == 0 || r == 1, std::to_string(r));
        if (r == 1) {
            FUZZ_CHECK(isParentPath(parent.text()) && parent.zeroFilledAfterText(), parent.text());
            FUZZ_CHECK(err == kUntouched && errbuf.untouched(), "a partition is no failure");
        } else {
            FUZZ_CHECK(parent.untouched() || isParentPath(parent.text()), parent.text());
            FUZZ_CHECK((err == kUntouched) == errbuf.untouched(), "err and errbuf go together");
            FUZZ_CHECK(errbuf.untouched() || errbuf.terminated(), "errbuf without its NUL");
        }
        const int bare = isPartitionDevice(nullptr, p, nullptr, nullptr, nullptr);
        FUZZ_CHECK(bare == 0 || bare == 1, std::to_string(bare));
        if (r == 1) FUZZ_CHECK(bare == 1, "without a parent buffer a partition stays one");
    }

    // getPartitionDevices.
    {
        RecordArray records(room);
        int count = capacity;
        int err = kUntouched;
        Bytes errbuf(MAXMPIOERRORLEN);
        const int reads = static_cast<int>(fakeHost.partitionReads().size());
        const int r = getPartitionDevices(nullptr, p, records.data(), &count, 0, &err, errbuf.data());
        const bool readerAsked = static_cast<int>(fakeHost.partitionReads().size()) == reads + 1;
        FUZZ_CHECK(records.intact() && errbuf.intact(), "written past the records or errbuf");
        std::size_t written = 0;
        for (std::size_t i = 0; i < room; ++i) written += records.untouched(i) ? 0 : 1;
        if (r < 0) {
            FUZZ_CHECK(r == -1 || (readerAsked && r == readerResult), std::to_string(r));
            FUZZ_CHECK(count == 0 && err == r && errbuf.holdsCopyOf(path), "a failure gives the path");
            FUZZ_CHECK(written == 0, "records written on failure");
        } else {
            // Entries that no partition minor holds, or without a positive
            // size, are left out of the answer and its count.
            std::vector<slice> kept;
            for (const slice& s : slices)
                if (s.partNo >= 1 && s.partNo <= 15 && s.size > 0) kept.push_back(s);
            const long long left = static_cast<long long>(readerResult) - static_cast<long long>(slices.size() - kept.size());
            FUZZ_CHECK(readerAsked && r == (left > 0 ? left : 0) && count == r, std::to_string(r));
            FUZZ_CHECK(err == kUntouched && errbuf.untouched(), "success reports nothing: " + errbuf.text());
            const std::size_t expected = fitting(kept.size(), capacity);
            FUZZ_CHECK(written == expected, std::to_string(written));
            for (std::size_t i = 0; i < written; ++i) {
                const TmPartInfo& rec = records.at(i);
                const std::string full = path + std::to_string(kept[i].partNo);
                FUZZ_CHECK(std::memchr(rec.name, 0, sizeof rec.name) != nullptr, "record name without its NUL");
                FUZZ_CHECK(std::string(rec.name) == full.substr(0, 1022), rec.name);
                FUZZ_CHECK(rec.partNo == kept[i].partNo && rec.start == kept[i].start &&
                               rec.size == kept[i].size && rec.sectorSize == 512,
                           "record fields");
                FUZZ_CHECK(rec.major == admin_major.load(), "the record's major is the admin major");
            }
        }
        if (readerAsked) {
            // Only a whole device of the admin major reaches the reader.
            FUZZ_CHECK(isPartitionDevice(nullptr, p, nullptr, nullptr, nullptr) == 0, "a partition was read");
        }
    }
    return 0;
}
