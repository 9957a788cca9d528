// SPDX-License-Identifier: Apache-2.0
// The /proc/partitions listing: listMPIODevices fills the device map from
// the filtered output, FindMpDeviceName and isMPIODevice look nodes up in it.
// Input: one status selector byte, then the output of the listing pipeline.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <map>

#include "fake_host.h"
#include "fuzz_support.h"
#include "inventory/listing.h"

using namespace tmmpio;

using namespace fuzzsupport;

namespace {

// The map the output describes: every line ended by a newline that splits at
// single blanks into exactly three tokens; later lines win.
struct Reference {
    MpDevMap map;
    long badLines = 0;
};

Reference expected(const std::string& output, const MpDevMap& before) {
    Reference ref{before, 0};
    std::size_t from = 0;
    for (std::size_t nl; (nl = output.find('\n', from)) != std::string::npos; from = nl + 1) {
        const std::string line = output.substr(from, nl - from);
        std::vector<std::string> tokens;
        std::size_t start = 0;
        for (std::size_t blank; (blank = line.find(' ', start)) != std::string::npos; start = blank + 1)
            tokens.push_back(line.substr(start, blank - start));
        tokens.push_back(line.substr(start));
        if (tokens.size() == 3)
            ref.map[MpDev(leadingInt(tokens[0]), leadingInt(tokens[1]))] = tokens[2];
        else
            ++ref.badLines;
    }
    return ref;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int status = statusFrom(in.byte());
    const std::string output = in.rest();

    fakeHost.reset();
    fakeHost.answer(kPartitionListing, {status, output, "cat: /proc/partitions: failed"});

    const MpDevMap before = {{MpDev(-7, -7), "kept"}, {MpDev(120, 0), "old"}};
    MpDevMap map = before;
    const int r = listMPIODevices(map);

    long leveled0 = 0, leveledMinus1 = 0;
    for (const auto& e : fakeHost.logEntries()) {
        FUZZ_CHECK(e.tag == "EMCPowerPath::listMPIODvices" && e.leveled, e.tag);
        (e.level == 0 ? leveled0 : leveledMinus1) += 1;
    }
    const bool listed = status == 0 && !output.empty();
    if (!listed) {
        FUZZ_CHECK(r == -1, std::to_string(r));
        FUZZ_CHECK(map == before, "a failed listing must leave the map alone");
        FUZZ_CHECK(leveled0 == 1 && leveledMinus1 == 0, "one level-0 entry for a failed listing");
    } else {
        FUZZ_CHECK(r == 0, std::to_string(r));
        const Reference ref = expected(output, before);
        FUZZ_CHECK(map == ref.map, "the map is not the one the lines describe");
        FUZZ_CHECK(leveled0 == 0 && leveledMinus1 == ref.badLines, "one level -1 entry per bad line");
        for (const auto& [key, name] : map)
            FUZZ_CHECK(name.find(' ') == std::string::npos && name.find('\n') == std::string::npos, name);
    }
    FUZZ_CHECK(fakeHost.commands() == std::vector<std::string>{kPartitionListing}, "one listing run");

    // The lookup's own walk of the listing answers as the map does, and logs
    // what the listing logs, for every listed key and one that is not listed.
    if (listed) {
        const MpDevMap ref = expected(output, MpDevMap{}).map;
        const std::size_t logsOfOneListing = fakeHost.logEntries().size();
        std::vector<MpDev> keys = {MpDev(120, 0), MpDev(-1, -1)};
        for (const auto& entry : ref) keys.push_back(entry.first);
        if (keys.size() > 34) keys.resize(34);
        for (const MpDev key : keys) {
            fakeHost.reset();
            fakeHost.answer(kPartitionListing, {status, output, ""});
            std::string name = "untouched";
            const int found = findListedDevice(key, name);
            const auto hit = ref.find(key);
            if (hit != ref.end()) {
                FUZZ_CHECK(found == 1 && name == hit->second, name);
            } else {
                FUZZ_CHECK(found == 0 && name == "untouched", name);
            }
            FUZZ_CHECK(fakeHost.logEntries().size() == logsOfOneListing, "the lookup logs as the listing");
        }
        fakeHost.reset();
        fakeHost.answer(kPartitionListing, {status, output, "cat: /proc/partitions: failed"});
    }

    // Lookups of the nodes go by device number through the same listing; only
    // a block device can be a pseudo device.
    MpDevMap fresh;
    const MpDevMap listedMap = listed ? expected(output, fresh).map : fresh;
    for (const std::string& path : nodePaths()) {
        struct stat node;
        const bool block = ::stat(path.c_str(), &node) == 0 && S_ISBLK(node.st_mode);
        const auto hit = block ? listedMap.find(MpDev(static_cast<int>(major(node.st_rdev)),
                                                       static_cast<int>(minor(node.st_rdev))))
                                : listedMap.end();
        std::string name = "junk";
        const int found = FindMpDeviceName(path.c_str(), name);
        if (hit != listedMap.end()) {
            FUZZ_CHECK(found == 1 && name == hit->second, path + " -> " + name);
        } else {
            FUZZ_CHECK(found == 0 && name == path, path + " -> " + name);
        }
        ErrorOut out;
        FUZZ_CHECK(isMPIODevice(nullptr, path.c_str(), &out.err, out.errbuf()) == found, path);
        FUZZ_CHECK(out.untouched() && out.intact(), "isMPIODevice reports nothing");
    }
    checkCommands();
    return 0;
}
