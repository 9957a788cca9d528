// SPDX-License-Identifier: Apache-2.0
// Recognition of a pseudo device's partitions by their device numbers, and
// the enumeration of a pseudo device's partitions for the host.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>

#include "partitions/partitions_internal.h"
#include "plugin/device_node.h"

using namespace tmmpio;

namespace {

// Each pseudo device owns 16 consecutive minors: the index in the high
// bits, the partition number (0 for the whole device) in the low 4 bits.
constexpr unsigned kPartitionBits = 4;
constexpr unsigned kPartitionMask = (1u << kPartitionBits) - 1;

// A block device under the admin major: a pseudo device or one of its
// partitions. Other nodes that carry the same numbers (a character device, or
// a regular file's 0 before init) are not.
bool isPseudoDeviceNode(const struct stat& node) {
    return S_ISBLK(node.st_mode) && major(node.st_rdev) == static_cast<unsigned>(admin_major.load());
}

// A pseudo device has partition minors 1 to 15 only, and a partition has a
// positive size. Other entries (GPT numbers them up to 128; a damaged table
// may give any size) would be handed on with another device's minor or as
// nothing at all: they are logged and dropped. Returns how many were.
std::size_t leaveOutImpossibleSlices(std::list<slice>& slices, const char* dev) {
    return slices.remove_if([dev](const slice& s) {
        const bool numbered = s.partNo >= 1 && static_cast<unsigned>(s.partNo) <= kPartitionMask;
        if (numbered && s.size > 0) return false;
        EvDebug(nullptr).DebugLvl("EMCPowerPath::getPartitionDevices", -1, "Partition %d of %s left out: %s", s.partNo,
                                  dev,
                                  numbered ? "its size is not positive" : "no minor number of the device holds it");
        return true;
    });
}

// The failure of a partition listing: no partitions, the result as the
// error code and the device path itself as the text, each where given.
int failWithPath(int result, const char* dev, int* count, int* err, char* errbuf) {
    if (count) *count = 0;
    if (err) *err = result;
    if (errbuf) copyToCallerBuffer(errbuf, dev);
    return result;
}

} // namespace

std::string tmmpio::getAAName(long index) {
    // Bijective base 26: the rightmost letter counts 0 to 25, and each letter
    // to its left counts what remains, less one, so that za follows yz and
    // aaa follows zz.
    unsigned long n = index < 0 ? 0 : static_cast<unsigned long>(index);
    std::string letters;
    for (;;) {
        letters.push_back(static_cast<char>('a' + n % 26));
        n /= 26;
        if (n == 0) break;
        --n;
    }
    std::reverse(letters.begin(), letters.end());
    return letters;
}

int isPartitionDevice(void* /*context*/, const char* path, char* parent, int* err, char* errbuf) {
    return withoutExceptions(err, errbuf, 0, [&] {
        if (path == nullptr) {
            refuse(err, errbuf, "isPartitionDevice", "no device path given");
            return 0;
        }
        struct stat node;
        if (statNode(path, &node) != 0) {
            const int error = errno;
            if (err) *err = error;
            if (errbuf) formatToCallerBuffer(errbuf, "Stat %s failed:%d", path, error);
            return 0;
        }
        const unsigned minorNumber = minor(node.st_rdev);
        if (!isPseudoDeviceNode(node) || (minorNumber & kPartitionMask) == 0) return 0;

        const std::string parentPath = "/dev/emcpower" + getAAName(minorNumber >> kPartitionBits);
        if (parent == nullptr) return 1;
        copyToCallerBuffer(parent, parentPath);

        struct stat parentNode;
        if (statNode(parentPath.c_str(), &parentNode) != 0) {
            const int error = errno;
            if (err) *err = error;
            if (errbuf)
                formatToCallerBuffer(errbuf, "pdev stat failed %s(parent:%s) :%d", path, parentPath.c_str(), error);
            EvDebug(nullptr).DebugLvl("isPartitionDevice", -1, "pdev stat failed %s(parent:%s) :%d", path,
                                      parentPath.c_str(), error);
            return 0;
        }
        return 1;
    });
}

tmmpio::EPartIterator::EPartIterator(std::string path, int majorNumber, int minorNumber, TmPartInfo* array,
                                     int arrayCapacity)
    : written{0}, major{majorNumber}, minor{minorNumber}, devPath{std::move(path)}, capacity{arrayCapacity},
      parts{array} {}

void tmmpio::EPartIterator::operator()(slice s) {
    TmPartInfo record{};
    if (!(written < capacity)) return;
    // The name keeps at most 1022 characters: the bound includes the NUL.
    std::snprintf(record.name, sizeof record.name - 1, "%s%d", devPath.c_str(), s.partNo);
    record.partNo = s.partNo;
    record.start = s.start;
    record.size = s.size;
    record.sectorSize = 512;
    record.major = major;
    // 32-bit addition that wraps instead of overflowing.
    record.minor = static_cast<int>(static_cast<unsigned>(minor) + static_cast<unsigned>(s.partNo));
    std::memcpy(&parts[written], &record, sizeof record);
    ++written;
}

int getPartitionDevices(void* context, const char* dev, TmPartInfo* parts, int* count, int /*reserved*/, int* err,
                        char* errbuf) {
    if (dev == nullptr) {
        if (count) *count = 0;
        return refuse(err, errbuf, "getPartitionDevices", "no device path given");
    }
    return withoutExceptions(err, errbuf, -1, [&] {
        std::list<slice> slices;
        struct stat node;
        std::memset(&node, 0, sizeof node);
        // A path that cannot be examined keeps a zeroed record, which is no
        // block device, and is refused below.
        (void)statNode(dev, &node);
        if (isPartitionDevice(context, dev, nullptr, err, errbuf) == 1)
            return failWithPath(-1, dev, count, err, errbuf);
        // One reading of admin_major decides, also for a partition that init's
        // change of the number let through the partition check.
        if (!isPseudoDeviceNode(node) || (minor(node.st_rdev) & kPartitionMask))
            return failWithPath(-1, dev, count, err, errbuf);

        const int read = getPartitions(dev, &slices);
        if (read < 0) return failWithPath(read, dev, count, err, errbuf);
        const long long left =
            static_cast<long long>(read) - static_cast<long long>(leaveOutImpossibleSlices(slices, dev));
        const int found = left > 0 ? static_cast<int>(left) : 0;

        // Without a count or an array there is no room: no record is written.
        const int capacity = (count != nullptr && parts != nullptr) ? *count : 0;
        std::for_each(slices.begin(), slices.end(),
                      EPartIterator(dev, static_cast<int>(major(node.st_rdev)), static_cast<int>(minor(node.st_rdev)),
                                    parts, capacity));
        if (count) *count = found;
        return found;
    });
}
