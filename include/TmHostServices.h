// SPDX-License-Identifier: Apache-2.0
// Services that the host application provides to the plug-in. The plug-in
// only declares them: their definitions come from the process that loads it,
// and their link names are fixed by these declarations.
#ifndef TMHOSTSERVICES_H
#define TMHOSTSERVICES_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

class TmProcess {
public:
    // Runs a shell command line to completion, capturing its standard output
    // and its error text. Result 0 is success, anything else a failure code.
    static int system(const char* command, std::string* output, std::string* error, int, bool);
};

class EvDebugFileInstance;

class EvDebug {
public:
    explicit EvDebug(EvDebugFileInstance* file);
    ~EvDebug();
    int Debug(const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int DebugLvl(const char* tag, int level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
};

class FXString {
public:
    static int Split(const std::string& text, const std::string& separator,
                     std::vector<std::string>& tokens, unsigned flags);
};

// One partition as the host's partition-table reader lists it.
struct slice {
    int64_t start;     // first sector (512-byte units)
    int64_t size;      // length in sectors (512-byte units)
    uint64_t reserved; // the host's own; not read by the plug-in
    int32_t partNo;    // partition number as the kernel numbers it
    int32_t reserved2; // the host's own; not read by the plug-in
};
static_assert(sizeof(slice) == 32);
static_assert(offsetof(slice, start) == 0);
static_assert(offsetof(slice, size) == 8);
static_assert(offsetof(slice, partNo) == 24);

// Appends one slice per partition of the device or image at device to the
// list. Result: the number of partitions, or a negative error code.
int getPartitions(const char* device, std::list<slice>* slices);

#endif // TMHOSTSERVICES_H
