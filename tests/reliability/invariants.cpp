#include "invariants.h"

#include <cstring>

#include "plugin_test_util.h"

namespace reliability {
namespace {

constexpr char kGuardByte = static_cast<char>(0xA5);

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

GuardedBytes::GuardedBytes(std::size_t size) : size_{size}, bytes_(size + kGuard, kGuardByte) {
    std::memset(bytes_.data(), kMarker, size_);
}

bool GuardedBytes::guardIntact() const {
    for (std::size_t i = size_; i < bytes_.size(); ++i)
        if (bytes_[i] != kGuardByte) return false;
    return true;
}

bool GuardedBytes::untouched() const {
    for (std::size_t i = 0; i < size_; ++i)
        if (bytes_[i] != kMarker) return false;
    return true;
}

bool GuardedBytes::terminated() const { return std::memchr(bytes_.data(), '\0', size_) != nullptr; }

std::string GuardedBytes::text() const { return std::string(bytes_.data(), strnlen(bytes_.data(), size_)); }

bool GuardedBytes::zeroFilledAfterText() const {
    if (!terminated()) return false;
    for (std::size_t i = strnlen(bytes_.data(), size_); i < size_; ++i)
        if (bytes_[i] != '\0') return false;
    return true;
}

PathSlots::PathSlots(std::size_t capacity, std::size_t distinct)
    : buffers_(distinct < capacity ? distinct : capacity) {
    pointers_.reserve(capacity + kTrapSlots);
    for (std::size_t i = 0; i < capacity; ++i)
        pointers_.push_back(i < buffers_.size() ? buffers_[i].data() : spare_.data());
    for (std::size_t i = 0; i < kTrapSlots; ++i) pointers_.push_back(trap_.data());
}

bool PathSlots::intact() const {
    for (const GuardedBytes& b : buffers_)
        if (!b.guardIntact()) return false;
    return spare_.guardIntact() && spare_.untouched() && trap_.guardIntact() && trap_.untouched();
}

std::vector<std::string> PathSlots::written() const {
    std::vector<std::string> paths;
    for (const GuardedBytes& b : buffers_)
        if (!b.untouched()) paths.push_back(b.text());
    return paths;
}

long PathSlots::badlyFilled() const {
    for (std::size_t i = 0; i < buffers_.size(); ++i)
        if (!buffers_[i].untouched() && !buffers_[i].zeroFilledAfterText()) return static_cast<long>(i);
    return -1;
}

bool PathSlots::writtenFormPrefix() const {
    bool gap = false;
    for (const GuardedBytes& b : buffers_) {
        if (b.untouched())
            gap = true;
        else if (gap)
            return false;
    }
    return true;
}

RecordSlots::RecordSlots(std::size_t capacity) : capacity_{capacity}, records_(capacity + 1) {
    std::memset(static_cast<void*>(records_.data()), kGuardByte, records_.size() * sizeof(TmPartInfo));
}

bool RecordSlots::untouched(std::size_t i) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&records_[i]);
    for (std::size_t k = 0; k < sizeof(TmPartInfo); ++k)
        if (bytes[k] != static_cast<unsigned char>(kGuardByte)) return false;
    return true;
}

bool RecordSlots::guardIntact() const { return untouched(capacity_); }

} // namespace reliability
