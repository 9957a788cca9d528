// SPDX-License-Identifier: Apache-2.0
#include "command_audit.h"

#include "pinned_commands.h"

#include <string_view>

namespace mpiotest {
namespace {

const std::string kRemovePrefix = "powermt remove force dev=";
// What comes before and after the name in a path query.
const std::string kPathQueryProbe = pathQuery("\x01");
const std::string kPathQueryHead = kPathQueryProbe.substr(0, kPathQueryProbe.find('\x01'));
const std::string kPathQueryTail = kPathQueryProbe.substr(kPathQueryProbe.find('\x01') + 1);

bool isPathQuery(const std::string& command) {
    return command.size() >= kPathQueryHead.size() + kPathQueryTail.size() && command.starts_with(kPathQueryHead) &&
           command.ends_with(kPathQueryTail);
}

// A name that may follow "dev=" on a command line: made only of letters,
// digits, ".", "_", "-" and "/", and not starting with "-".
bool isSafeDeviceName(std::string_view name) {
    if (!name.empty() && name.front() == '-') return false;
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' || c == '/';
        if (!allowed) return false;
    }
    return true;
}

// The name after "dev=" of a path query or a removal; empty for the others.
std::string deviceNameOf(const std::string& command) {
    if (command.starts_with(kRemovePrefix)) return command.substr(kRemovePrefix.size());
    if (command != kPseudoListing && isPathQuery(command))
        return command.substr(kPathQueryHead.size(),
                              command.size() - kPathQueryHead.size() - kPathQueryTail.size());
    return {};
}

} // namespace

std::vector<std::string> commandFaults(const std::vector<std::string>& commands) {
    static const std::string fixed[] = {kPartitionListing, kPseudoListing, kDiscovery,
                                        "powermt config",  "powermt release", "powermt save"};
    std::vector<std::string> faults;
    for (const std::string& command : commands) {
        bool known = false;
        for (const std::string& f : fixed) known = known || command == f;
        if (known) continue;
        const bool named = command.starts_with(kRemovePrefix) || isPathQuery(command);
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

} // namespace mpiotest
