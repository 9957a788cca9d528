// SPDX-License-Identifier: Apache-2.0
// getPartitions: the partition table of a disk image or block device, read
// with libblkid.
#include <blkid.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <list>

#include "TmHostServices.h"
#include "internal.h"

namespace {

class Probe {
public:
    Probe() : probe_(::blkid_new_probe()) {}
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    ~Probe() {
        if (probe_) ::blkid_free_probe(probe_);
    }
    blkid_probe get() const { return probe_; }

private:
    blkid_probe probe_;
};

// libblkid does not always set errno on failure.
int failure() { return errno > 0 ? -errno : -EIO; }

// The kernel ignores a table entry that is empty or reaches past the end of
// the disk; so does the reader, and it says why in the log. Sizes in 512-byte
// sectors; the sum is formed so that it cannot overflow.
bool fitsOnDevice(const slice& s, std::int64_t deviceSectors, const char* device) {
    const char* why = nullptr;
    if (s.size <= 0)
        why = "its size is not positive";
    else if (s.start < 0)
        why = "its start is negative";
    else if (s.start > deviceSectors || s.size > deviceSectors - s.start)
        why = "it ends beyond the device";
    if (why == nullptr) return true;
    EvDebug(nullptr).DebugLvl("getPartitions", 0,
                              "%s: partition %d (start %lld, %lld sectors) ignored: %s; the device has %lld sectors",
                              device, s.partNo, static_cast<long long>(s.start), static_cast<long long>(s.size), why,
                              static_cast<long long>(deviceSectors));
    return false;
}

} // namespace

int getPartitions(const char* device, std::list<slice>* slices) {
    if (!device || !slices) return -EINVAL;

    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it does
    // not change reads of disks or files.
    int raw;
    do raw = ::open(device, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    while (raw < 0 && errno == EINTR);
    if (raw < 0) return -errno;
    const tmhost::detail::Fd fd(raw);

    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return -errno;
    if (S_ISDIR(st.st_mode)) return -EISDIR;
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return -ENOTBLK;

    Probe probe;
    if (!probe.get()) return -ENOMEM;
    errno = 0;
    if (::blkid_probe_set_device(probe.get(), fd.get(), 0, 0) != 0) return failure();
    // The probe tells a device without table (1) from a failure (< 0); the
    // list itself is null in both cases.
    ::blkid_probe_enable_superblocks(probe.get(), 0);
    ::blkid_probe_enable_partitions(probe.get(), 1);
    errno = 0;
    const int probed = ::blkid_do_safeprobe(probe.get());
    if (probed < 0) return failure();
    if (probed == 1) return 0;
    errno = 0;
    blkid_partlist table = ::blkid_probe_get_partitions(probe.get());
    if (!table) return failure();
    const int count = ::blkid_partlist_numof_partitions(table);
    if (count < 0) return -EIO;
    const blkid_loff_t deviceBytes = ::blkid_probe_get_size(probe.get());
    if (deviceBytes < 0) return -EIO;
    const std::int64_t deviceSectors = deviceBytes / 512;

    // Collected apart so that a failure leaves the caller's list untouched.
    std::list<slice> found;
    for (int i = 0; i < count; ++i) {
        blkid_partition part = ::blkid_partlist_get_partition(table, i);
        if (!part) return -EIO;
        slice s{};
        s.start = ::blkid_partition_get_start(part); // libblkid counts 512-byte sectors
        s.size = ::blkid_partition_get_size(part);
        s.partNo = ::blkid_partition_get_partno(part);
        if (fitsOnDevice(s, deviceSectors, device)) found.push_back(s);
    }
    const int kept = static_cast<int>(found.size());
    slices->splice(slices->end(), found);
    return kept;
}
