// SPDX-License-Identifier: Apache-2.0
/*
 * Public interface of the EMC PowerPath multipath-I/O vendor plug-in
 * (libTmMPIO_EMCPowerPath.so).
 *
 * The host loads the library and finds the entry points below by their plain
 * names. Every entry point but getVendorName takes an opaque host context
 * first and an error code and a MAXMPIOERRORLEN-byte error buffer last; both
 * are written only when a call fails.
 */
#ifndef TMMPIO_EMCPOWERPATH_H
#define TMMPIO_EMCPOWERPATH_H

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#else
#include <stddef.h>
#include <stdint.h>
#endif

#define TMMPIO_EXPORT __attribute__((visibility("default")))

/* Bytes in each caller-owned path buffer and in the error buffer. */
#ifdef __cplusplus
inline constexpr int MAXMPIOPATHLEN = 1024;
inline constexpr int MAXMPIOERRORLEN = 1024;
#else
#define MAXMPIOPATHLEN 1024
#define MAXMPIOERRORLEN 1024
#endif

/* getUnderlyingDevices' result for a path that is neither a pseudo device
 * nor a partition of one. */
#ifdef __cplusplus
inline constexpr int MPIO_NOT_A_PSEUDO_DEVICE = -6;
#else
#define MPIO_NOT_A_PSEUDO_DEVICE (-6)
#endif

/* One partition of a pseudo device, as getPartitionDevices hands it out. */
typedef struct TmPartInfo {
    char name[1024];    /* device path followed by the partition number */
    int32_t partNo;     /* partition number as the partition table gives it */
    int64_t start;      /* start, as the host's partition reader reported it */
    int64_t size;       /* size, as the host's partition reader reported it */
    int64_t sectorSize; /* always 512 */
    int32_t major;      /* major number of the whole pseudo device */
    int32_t minor;      /* minor number of the whole pseudo device + partNo */
} TmPartInfo;

#ifdef __cplusplus
static_assert(sizeof(TmPartInfo) == 1064, "TmPartInfo is a 1064-byte record");
static_assert(offsetof(TmPartInfo, name) == 0);
static_assert(offsetof(TmPartInfo, partNo) == 1024);
static_assert(offsetof(TmPartInfo, start) == 1032);
static_assert(offsetof(TmPartInfo, size) == 1040);
static_assert(offsetof(TmPartInfo, sectorSize) == 1048);
static_assert(offsetof(TmPartInfo, major) == 1056);
static_assert(offsetof(TmPartInfo, minor) == 1060);
static_assert(sizeof(((TmPartInfo*)nullptr)->name) == MAXMPIOPATHLEN);
extern "C" {
#endif

/* Points at the vendor name "Trelmaron: EMC PowerPath MPIO". */
TMMPIO_EXPORT extern char* _VendorName;

TMMPIO_EXPORT const char* init(void* context, int* err, char* errbuf);
TMMPIO_EXPORT const char* getVendorName(void);
TMMPIO_EXPORT int getMPIODevices(void* context, char** devices, int* count, int* err,
                                 char* errbuf);
TMMPIO_EXPORT int isMPIODevice(void* context, const char* path, int* err, char* errbuf);
TMMPIO_EXPORT int getUnderlyingDevices(void* context, const char* device, char** paths,
                                       int* count, int* err, char* errbuf);
TMMPIO_EXPORT int refreshMPIO(void* context, int* err, char* errbuf);
TMMPIO_EXPORT int deleteMPIODevice(void* context, const char* device, int* err,
                                   char* errbuf);
TMMPIO_EXPORT int isPartitionDevice(void* context, const char* path, char* parent, int* err,
                                    char* errbuf);
TMMPIO_EXPORT int getPartitionDevices(void* context, const char* dev, TmPartInfo* parts,
                                      int* count, int reserved, int* err, char* errbuf);

#ifdef __cplusplus
} /* extern "C" */

/* A block device identified by its (major, minor) device numbers. */
struct MpDev {
    int major;
    int minor;
    MpDev() : major{-1}, minor{-1} {}
    MpDev(int majorNumber, int minorNumber) : major{majorNumber}, minor{minorNumber} {}
};

TMMPIO_EXPORT bool operator<(MpDev a, MpDev b);
TMMPIO_EXPORT bool operator==(MpDev a, MpDev b);
TMMPIO_EXPORT bool operator!=(MpDev a, MpDev b);

/* Device numbers of every emcpower block device (whole devices and partitions)
 * mapped to the kernel's name for it, such as emcpowera or emcpowera1. */
using MpDevMap = std::map<MpDev, std::string>;

/* Adds every emcpower device of /proc/partitions to the map.
 * 0 when the listing ran and printed something, -1 otherwise. */
TMMPIO_EXPORT int listMPIODevices(std::map<MpDev, std::string>& devices);

/* 1 when the node at path carries the device number of a pseudo device or one
 * of its partitions, with its kernel name in name; 0 otherwise, with name
 * holding path unchanged. */
TMMPIO_EXPORT int FindMpDeviceName(const char* path, std::string& name);
#endif

#endif /* TMMPIO_EMCPOWERPATH_H */
