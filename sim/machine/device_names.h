// SPDX-License-Identifier: Apache-2.0
// Device names of the simulated machine: letter names of indices
// (bijective base 26: a..z, aa..zz, aaa...), pseudo-device and sd names, and
// the kernel's device numbers for them.
#ifndef SIM_MACHINE_DEVICE_NAMES_H
#define SIM_MACHINE_DEVICE_NAMES_H

#include <optional>
#include <string>
#include <string_view>

namespace sim {

inline constexpr const char* kPseudoPrefix = "emcpower";
inline constexpr int kLoopMajor = 7;
// The sd driver's sixteen block majors, in the order it uses them.
inline constexpr int kSdMajors[16] = {8, 65, 66, 67, 68, 69, 70, 71, 128, 129, 130, 131, 132, 133, 134, 135};
inline constexpr unsigned kMinorLimit = 1U << 20; // the kernel's minor range
// The sd driver puts the disk index's bits above the low eight into the
// minor, so disks are numbered apart up to the 20-bit minor range.
inline constexpr unsigned long kSdDiskLimit = kMinorLimit; // sda .. sdbgqcv
// Each pseudo device has 16 minors of the admin major.
inline constexpr unsigned long kPseudoLimit = kMinorLimit / 16; // emcpowera .. emcpowercrxp

// 0 -> "a", 25 -> "z", 26 -> "aa", 701 -> "zz", 702 -> "aaa".
std::string letterName(unsigned long index);

// The inverse of letterName; nothing for an empty text, a text with a
// character other than a..z, or one whose index does not fit.
std::optional<unsigned long> letterIndex(std::string_view letters);

// Whether `text` is one or more of a..z, however many.
bool isLetters(std::string_view text);

// "emcpowerX" (optionally with a leading "/dev/") -> index of X.
std::optional<unsigned long> pseudoIndex(std::string_view name);
// "sdX" -> disk index of X (below kSdDiskLimit).
std::optional<unsigned long> sdIndex(std::string_view name);

std::string pseudoName(unsigned long index);
std::string sdName(unsigned long disk);

bool isSdMajor(int major);

// The block major and first minor of sd disk k (below kSdDiskLimit), as the
// Linux sd driver numbers them: bits 4..7 of k choose one of its sixteen
// majors; the minor holds bits 0..3 of k above the four bits of the
// partition number, and k's bits from 8 on where they are.
struct DevNumber {
    int major;
    unsigned minor;
};
DevNumber sdNumber(unsigned long disk);

} // namespace sim

#endif
