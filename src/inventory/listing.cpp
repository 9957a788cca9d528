// The two listings of pseudo devices: the device map from the kernel's
// partition table, and the names PowerPath reports, for the host.
#include <string>
#include <string_view>
#include <vector>

#include "TmHostServices.h"
#include "TmMPIO_EMCPowerPath.h"
#include "inventory/device_names.h"
#include "plugin/plugin_internal.h"

namespace {

// Major, minor and name of every emcpower line of the partition table.
const char* const partitionListing_cmd =
    "cat /proc/partitions | grep \"emcpower\" | awk '{print $1\" \"$2\" \"$4}'";

const char* const listingTag = "EMCPowerPath::listMPIODvices";

// The text after the first "=" of every line that names a pseudo device.
const char* const pseudoNameFilter = " | grep 'Pseudo' | awk 'BEGIN {FS=\"=\";} {print $2;}'";

// The kernel lists devices in ascending order, so a new key usually goes at
// the end of the map: inserting there with a hint costs constant time.
void setEntry(std::map<MpDev, std::string>& devices, MpDev key, std::string name) {
    if (devices.empty() || devices.rbegin()->first < key)
        devices.emplace_hint(devices.end(), key, std::move(name));
    else
        devices[key] = std::move(name);
}

int clampToInt(long long n) { return n > 0x7fffffff ? 0x7fffffff : static_cast<int>(n); }

} // namespace

int listMPIODevices(std::map<MpDev, std::string>& devices) {
    std::string output;
    std::string error;
    const int status = TmProcess::system(partitionListing_cmd, &output, &error, 0, false);
    if (status != 0 || output.empty()) {
        EvDebug(nullptr).DebugLvl(listingTag, 0, "Failed to execute command=[%s], error=[%s]",
                                  partitionListing_cmd, error.c_str());
        return -1;
    }
    // One token list serves every line; each split replaces its contents.
    std::vector<std::string> tokens;
    std::string line;
    const std::string separator = " ";
    // Only lines ended by a newline count; text after the last one is unused.
    for (std::size_t from = 0, newline; (newline = output.find('\n', from)) != std::string::npos;
         from = newline + 1) {
        line.assign(output, from, newline - from);
        FXString::Split(line, separator, tokens, 0);
        if (tokens.size() == 3) {
            setEntry(devices, MpDev(parseLeadingInt(tokens[0]), parseLeadingInt(tokens[1])),
                     std::move(tokens[2]));
        } else {
            EvDebug(nullptr).DebugLvl(listingTag, -1, "Invalid token count=[%ld] for '%s'",
                                      static_cast<long>(tokens.size()), line.c_str());
        }
    }
    return 0;
}

int getMPIODevices(void* /*context*/, char** devices, int* count, int* err, char* errbuf) {
    if (!outParamsPresent(err, errbuf)) return -1;
    if (devices == nullptr || count == nullptr) {
        *err = -1;
        copyToCallerBuffer(errbuf, devices == nullptr ? "getMPIODevices: no device array given"
                                                      : "getMPIODevices: no device count given");
        return -1;
    }
    return withoutExceptions(err, errbuf, -1, [&] {
        const std::string command = mpiodisplay_cmd + "all" + pseudoNameFilter;
        std::string output;
        std::string error;
        const int status = TmProcess::system(command.c_str(), &output, &error, 0, false);
        if (status != 0) {
            *err = status;
            copyToCallerBuffer(errbuf, error);
            return negatedStatus(status);
        }
        // Every segment between newlines counts, empty ones and the one after
        // the last newline included; only non-empty ones are stored.
        const int capacity = *count;
        int stored = 0;
        long long segments = 0;
        const std::string_view text = output;
        for (std::size_t from = 0;;) {
            const std::size_t newline = text.find('\n', from);
            const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
            const std::string_view segment = text.substr(from, end - from);
            if (!segment.empty() && stored < capacity)
                copyPrefixedToCallerBuffer(devices[stored++], mpio_prefix, segment);
            ++segments;
            if (newline == std::string_view::npos) break;
            from = newline + 1;
        }
        *count = stored;
        return segments <= capacity ? 0 : clampToInt(segments);
    });
}
