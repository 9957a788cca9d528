// SPDX-License-Identifier: Apache-2.0
// The two listings of pseudo devices: the device map from the kernel's
// partition table, and the names PowerPath reports, for the host.
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TmHostServices.h"
#include "TmMPIO_EMCPowerPath.h"
#include "inventory/device_names.h"
#include "inventory/listing.h"
#include "plugin/plugin_internal.h"

using namespace tmmpio;

namespace {

// Major, minor and name of every emcpower line of the partition table.
const char* const partitionListing_cmd = "cat /proc/partitions | grep \"emcpower\" | awk '{print $1\" \"$2\" \"$4}'";

const char* const listingTag = "EMCPowerPath::listMPIODvices";

// The text after the first "=" of every line that names a pseudo device.
// grep -a, since powermt's output may hold bytes that are not text in the
// locale (a NUL, an array name in Latin-1), after which plain grep would stop
// printing or drop lines.
const char* const pseudoNameFilter = "grep -a 'Pseudo' | awk 'BEGIN {FS=\"=\";} {print $2;}'";

// The kernel lists devices in ascending order, so a new key usually goes at
// the end of the map: inserting there with a hint costs constant time.
void setEntry(std::map<MpDev, std::string>& devices, MpDev key, std::string name) {
    if (devices.empty() || devices.rbegin()->first < key)
        devices.emplace_hint(devices.end(), key, std::move(name));
    else
        devices[key] = std::move(name);
}

// Runs the partition listing into output. A failed command, or one that
// printed nothing, is logged and gives false.
bool runPartitionListing(std::string& output) {
    std::string error;
    const int status = TmProcess::system(partitionListing_cmd, &output, &error, 0, false);
    if (status != 0 || output.empty()) {
        EvDebug(nullptr).DebugLvl(listingTag, 0, "Failed to execute command=[%s], error=[%s]", partitionListing_cmd,
                                  error.c_str());
        return false;
    }
    return true;
}

// A line of the listing's usual shape: a major and a minor number of one to
// nine digits and a non-empty name without blanks, separated by single
// blanks. Splitting such a line at " " gives exactly these three pieces, and
// their numbers read as the digits say, so its key and name can be taken
// without splitting. Every other line gives false.
bool readPlainLine(std::string_view line, MpDev& key, std::string_view& name) {
    const char* p = line.data();
    const char* const end = p + line.size();
    int numbers[2];
    for (int& number : numbers) {
        const char* const start = p;
        int value = 0;
        // Nine digits cannot overflow an int; a tenth fails the blank test.
        while (p != end && p - start < 9 && static_cast<unsigned char>(*p - '0') < 10)
            value = value * 10 + (*p++ - '0');
        if (p == start || p == end || *p != ' ') return false;
        ++p;
        number = value;
    }
    if (p == end || std::memchr(p, ' ', static_cast<std::size_t>(end - p)) != nullptr) return false;
    key = MpDev(numbers[0], numbers[1]);
    name = std::string_view(p, static_cast<std::size_t>(end - p));
    return true;
}

// Hands every usable line of the listing to use(key, name), in output order;
// a line that does not split into three tokens is logged and skipped. Only
// lines ended by a newline count; text after the last one is unused. With
// readPlainInPlace, a line of the usual shape is read by readPlainLine
// instead of being split, which gives the same key and name.
template <typename Use>
void forEachListedDevice(const std::string& output, bool readPlainInPlace, Use&& use) {
    // One token list serves every line; each split replaces its contents.
    std::vector<std::string> tokens;
    std::string line;
    const std::string separator = " ";
    const std::string_view text = output;
    for (std::size_t from = 0, newline; (newline = text.find('\n', from)) != std::string_view::npos;
         from = newline + 1) {
        MpDev key;
        std::string_view name;
        if (readPlainInPlace && readPlainLine(text.substr(from, newline - from), key, name)) {
            use(key, name);
            continue;
        }
        line.assign(output, from, newline - from);
        FXString::Split(line, separator, tokens, 0);
        if (tokens.size() == 3) {
            use(MpDev(parseLeadingInt(tokens[0]), parseLeadingInt(tokens[1])), std::string_view(tokens[2]));
        } else {
            EvDebug(nullptr).DebugLvl(listingTag, -1, "Invalid token count=[%ld] for '%s'",
                                      static_cast<long>(tokens.size()), line.c_str());
        }
    }
}

} // namespace

int listMPIODevices(std::map<MpDev, std::string>& devices) {
    std::string output;
    if (!runPartitionListing(output)) return -1;
    // The exported listing splits every line with the host's splitter.
    forEachListedDevice(output, false,
                        [&](MpDev key, std::string_view name) { setEntry(devices, key, std::string(name)); });
    return 0;
}

int tmmpio::findListedDevice(MpDev key, std::string& name) {
    std::string output;
    if (!runPartitionListing(output)) return -1;
    // One device among tens of thousands is looked for: lines of the usual
    // shape, nearly all of them, are read in place, as splitting every line
    // would cost more than the listing command itself takes. A later line
    // with the same key replaces an earlier one in the map, so the last match
    // is the one the map would hold.
    bool found = false;
    forEachListedDevice(output, true, [&](MpDev listed, std::string_view listedName) {
        if (listed.major == key.major && listed.minor == key.minor) {
            name.assign(listedName);
            found = true;
        }
    });
    return found ? 1 : 0;
}

int getMPIODevices(void* /*context*/, char** devices, int* count, int* err, char* errbuf) {
    static const char* const self = "getMPIODevices";
    if (!outParamsPresent(err, errbuf)) return -1;
    if (devices == nullptr) return refuse(err, errbuf, self, "no device array given");
    if (count == nullptr) return refuse(err, errbuf, self, "no device count given");
    return withoutExceptions(err, errbuf, -1, [&] {
        // A failing powermt (no driver, no array) fails the call; one that
        // lists nothing gives an empty list.
        const std::string command = filteredPowermt(mpiodisplay_cmd + "all", pseudoNameFilter);
        std::string output;
        std::string error;
        const int status = TmProcess::system(command.c_str(), &output, &error, 0, false);
        if (status != 0) {
            recordFailedRun(status, error, err, errbuf);
            return negatedStatus(status);
        }
        return storeLines(output, EmptyLines::Counted, devices, count);
    });
}
