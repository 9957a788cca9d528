// SPDX-License-Identifier: Apache-2.0
#include "machine/device_names.h"

#include <algorithm>
#include <iterator>

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

bool isLetters(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= 'a' && c <= 'z'; });
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

std::string sdName(unsigned long disk) { return "sd" + letterName(disk); }

bool isSdMajor(int major) {
    return std::find(std::begin(kSdMajors), std::end(kSdMajors), major) != std::end(kSdMajors);
}

DevNumber sdNumber(unsigned long disk) {
    return {kSdMajors[(disk & 0xf0) >> 4], static_cast<unsigned>(((disk & 0xf) << 4) | (disk & 0xfff00))};
}

} // namespace sim
