// SPDX-License-Identifier: Apache-2.0
#include "invariants.h"

#include "short_names.h"

namespace reliability {
namespace {

const std::string kRemovePrefix = "powermt remove force dev=";
const std::string kDisplayPrefix = "powermt display dev=";
// What follows the name in a path query.
const std::string kPathFilter = pathQuery("").substr(kDisplayPrefix.size());

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

bool isSafeDeviceName(std::string_view name) {
    if (!name.empty() && name.front() == '-') return false;
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' || c == '/';
        if (!allowed) return false;
    }
    return true;
}

std::string deviceNameOf(const std::string& command) {
    if (startsWith(command, kRemovePrefix)) return command.substr(kRemovePrefix.size());
    if (command != kPseudoListing && startsWith(command, kDisplayPrefix) &&
        endsWith(command, kPathFilter))
        return command.substr(kDisplayPrefix.size(),
                              command.size() - kDisplayPrefix.size() - kPathFilter.size());
    return {};
}

std::vector<std::string> commandFaults(const std::vector<std::string>& commands) {
    static const std::string fixed[] = {kPartitionListing, kPseudoListing, kDiscovery,
                                        "powermt config",  "powermt release", "powermt save"};
    std::vector<std::string> faults;
    for (const std::string& command : commands) {
        bool known = false;
        for (const std::string& f : fixed) known = known || command == f;
        if (known) continue;
        const bool named = startsWith(command, kRemovePrefix) ||
                           (startsWith(command, kDisplayPrefix) && endsWith(command, kPathFilter));
        if (!named) {
            faults.push_back("not a command of the plug-in: [" + command + "]");
            continue;
        }
        const std::string name = deviceNameOf(command);
        if (!isSafeDeviceName(name))
            faults.push_back("unsafe name [" + name + "] in [" + command + "]");
    }
    return faults;
}

} // namespace reliability
