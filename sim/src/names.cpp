#include "names.h"

#include <algorithm>
#include <limits>

namespace sim {

std::string letterName(unsigned long index) {
    std::string out;
    unsigned long n = index;
    for (;;) {
        out.push_back(static_cast<char>('a' + n % 26));
        if (n < 26) break;
        n = n / 26 - 1;
    }
    std::reverse(out.begin(), out.end());
    return out;
}

std::optional<unsigned long> letterIndex(std::string_view letters) {
    if (letters.empty() || letters.size() > 8) return std::nullopt;
    unsigned long value = 0; // bijective: a=1 .. z=26, then minus one
    for (char c : letters) {
        if (c < 'a' || c > 'z') return std::nullopt;
        value = value * 26 + static_cast<unsigned long>(c - 'a' + 1);
    }
    return value - 1;
}

std::optional<unsigned long> pseudoIndex(std::string_view name) {
    constexpr std::string_view dev = "/dev/";
    if (name.substr(0, dev.size()) == dev) name.remove_prefix(dev.size());
    const std::string_view prefix = kPseudoPrefix;
    if (name.substr(0, prefix.size()) != prefix) return std::nullopt;
    return letterIndex(name.substr(prefix.size()));
}

std::optional<unsigned long> sdIndex(std::string_view name) {
    if (name.substr(0, 2) != "sd") return std::nullopt;
    const auto index = letterIndex(name.substr(2));
    if (!index || *index >= kSdDiskLimit) return std::nullopt;
    return index;
}

std::string pseudoName(unsigned long index) { return kPseudoPrefix + letterName(index); }

DevNumber sdNumber(unsigned long disk) {
    const unsigned minor = static_cast<unsigned>(disk % 16) * 16;
    if (disk < 16) return {8, minor};
    if (disk < 128) return {static_cast<int>(64 + disk / 16), minor};
    return {static_cast<int>(128 + (disk - 128) / 16), minor};
}

} // namespace sim
