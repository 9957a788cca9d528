// Device names of the simulated machine: letter names of indices
// (bijective base 26: a..z, aa..zz, aaa...), pseudo-device and sd names, and
// the kernel's device numbers for them.
#ifndef SIM_NAMES_H
#define SIM_NAMES_H

#include <optional>
#include <string>
#include <string_view>

namespace sim {

inline constexpr const char* kPseudoPrefix = "emcpower";
inline constexpr int kLoopMajor = 7;
inline constexpr int kSdDiskLimit = 256;            // sda .. sdiv
inline constexpr unsigned kMinorLimit = 1U << 20;   // the kernel's minor range

// 0 -> "a", 25 -> "z", 26 -> "aa", 701 -> "zz", 702 -> "aaa".
std::string letterName(unsigned long index);

// The inverse of letterName; nothing for an empty text, a text with a
// character other than a..z, or one whose index does not fit.
std::optional<unsigned long> letterIndex(std::string_view letters);

// "emcpowerX" (optionally with a leading "/dev/") -> index of X.
std::optional<unsigned long> pseudoIndex(std::string_view name);
// "sdX" -> disk index of X (below kSdDiskLimit).
std::optional<unsigned long> sdIndex(std::string_view name);

std::string pseudoName(unsigned long index);

// The block major and first minor of sd disk k, as the Linux sd driver
// numbers them (sda..sdp on 8, sdq.. on 65..71, then 128..135).
struct DevNumber {
    int major;
    unsigned minor;
};
DevNumber sdNumber(unsigned long disk);

} // namespace sim

#endif
