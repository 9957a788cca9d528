// SPDX-License-Identifier: Apache-2.0
// The statx system call made directly (Linux 4.11 and later), with the older
// fstatat system call where the kernel or a seccomp filter refuses statx.
// Both go through syscall(2), which every glibc since 2.2.5 exports, so the
// plug-in needs no stat symbol of the C library at all.
#include "plugin/device_node.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The statx layout of linux/stat.h, which is fixed by the kernel ABI; written
// out here because older C library headers do not declare it.
struct StatxTimestamp {
    long long tv_sec;
    unsigned tv_nsec;
    int reserved;
};
struct Statx {
    unsigned stx_mask, stx_blksize;
    unsigned long long stx_attributes;
    unsigned stx_nlink, stx_uid, stx_gid;
    unsigned short stx_mode, spare0;
    unsigned long long stx_ino, stx_size, stx_blocks, stx_attributes_mask;
    StatxTimestamp stx_atime, stx_btime, stx_ctime, stx_mtime;
    unsigned stx_rdev_major, stx_rdev_minor, stx_dev_major, stx_dev_minor;
    unsigned long long spare2[14];
};
static_assert(sizeof(Statx) == 256, "statx's structure is 256 bytes");

constexpr unsigned kStatxBasicStats = 0x7ffU;
constexpr long kNoStatx = -1;

#ifdef SYS_statx
constexpr long kStatxCall = SYS_statx;
#else
constexpr long kStatxCall = kNoStatx;
#endif

bool statWithStatx(const char* path, struct stat* node) {
    Statx x;
    std::memset(&x, 0, sizeof x);
    if (syscall(kStatxCall, AT_FDCWD, path, 0, kStatxBasicStats, &x) != 0) return false;
    std::memset(node, 0, sizeof *node);
    node->st_mode = x.stx_mode;
    node->st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
    node->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    node->st_ino = x.stx_ino;
    node->st_nlink = x.stx_nlink;
    node->st_uid = x.stx_uid;
    node->st_gid = x.stx_gid;
    node->st_size = static_cast<off_t>(x.stx_size);
    return true;
}

// On 64-bit Linux the kernel's struct stat of newfstatat is the C library's.
int statWithFstatat(const char* path, struct stat* node) {
#if defined(SYS_newfstatat) && defined(__LP64__)
    std::memset(node, 0, sizeof *node);
    return static_cast<int>(syscall(SYS_newfstatat, AT_FDCWD, path, node, 0));
#else
    return fstatat(AT_FDCWD, path, node, 0);
#endif
}

} // namespace

int tmmpio::statNode(const char* path, struct stat* node) {
    if (kStatxCall != kNoStatx) {
        if (statWithStatx(path, node)) return 0;
        // Any answer but "no such call" is the answer stat would give.
        if (errno != ENOSYS && errno != EPERM) return -1;
    }
    return statWithFstatat(path, node);
}
