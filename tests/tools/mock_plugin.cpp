// SPDX-License-Identifier: Apache-2.0
// A plug-in with scripted, deterministic answers for running mpioctl. The
// answers depend on the arguments; MOCK_MPIO holds comma-separated switches
// (init-fails, no-vendor, devices-fail, devices-grow, many-devices,
// refresh-fails, no-powerpath: init fails and no device is listed,
// odd-names: three devices whose names hold a tab, an escape sequence and a
// carriage return), and
// when MOCK_MPIO_TRACE names a file every call appends a line to it:
// "NAME cap=CAPACITY clear=0|1 timeout=SECONDS", clear=1 when err was 0 and
// errbuf all NUL bytes on entry. With MOCK_OMIT_REFRESH the library lacks
// refreshMPIO. It binds the host's EvDebug, TmProcess::system (refreshMPIO
// runs a command, as a plug-in does) and tmhost::defaultTimeout from the
// loading program.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "TmHostServices.h"
#include "TmMPIO_EMCPowerPath.h"
#include "tmhost/TmHost.h"

namespace {

char vendorText[] = "Mock: scripted MPIO";
bool initialised = false;

bool flag(std::string_view name) {
    const char* flags = std::getenv("MOCK_MPIO");
    if (!flags) return false;
    const std::string list = std::string(",") + flags + ",";
    return list.find("," + std::string(name) + ",") != std::string::npos;
}

void trace(const char* name, int capacity, const int* err, const char* errbuf) {
    const char* file = std::getenv("MOCK_MPIO_TRACE");
    if (!file) return;
    bool clear = err && *err == 0;
    for (int i = 0; errbuf && i < MAXMPIOERRORLEN; ++i) clear = clear && errbuf[i] == '\0';
    if (std::FILE* f = std::fopen(file, "a")) {
        std::fprintf(f, "%s cap=%d clear=%d timeout=%d\n", name, capacity, clear ? 1 : 0,
                     tmhost::defaultTimeout());
        std::fclose(f);
    }
}

void setError(int* err, char* errbuf, int code, const std::string& text) {
    if (err) *err = code;
    if (errbuf) std::snprintf(errbuf, MAXMPIOERRORLEN, "%s", text.c_str());
}

// The name of the n-th pseudo device as PowerPath counts them: emcpowera to
// emcpowerz, then emcpoweraa.
std::string deviceName(int n) {
    std::string letters;
    for (++n; n > 0; n = (n - 1) / 26)
        letters.insert(letters.begin(), static_cast<char>('a' + (n - 1) % 26));
    return "/dev/emcpower" + letters;
}

// Copies the first capacity names into the buffers; the count stored.
int fill(char** buffers, int capacity, const std::vector<std::string>& names) {
    int stored = 0;
    for (const std::string& name : names)
        if (stored < capacity) std::snprintf(buffers[stored++], MAXMPIOPATHLEN, "%s", name.c_str());
    return stored;
}

} // namespace

char* _VendorName = vendorText;

const char* getVendorName(void) { return flag("no-vendor") ? nullptr : _VendorName; }

const char* init(void*, int* err, char* errbuf) {
    trace("init", 0, err, errbuf);
    EvDebug(nullptr).Debug("mock-init", "init %s", flag("init-fails") ? "failed" : "succeeded");
    EvDebug(nullptr).DebugLvl("mock-init", -1, "low-level detail %d", 42);
    if (flag("init-fails") || flag("no-powerpath")) return nullptr;
    initialised = true;
    return _VendorName;
}

// Six devices (100,000 with many-devices), counted as the PowerPath plug-in
// counts output segments: one more than the names, so an array of exactly six
// is answered with 7.
int getMPIODevices(void*, char** devices, int* count, int* err, char* errbuf) {
    trace("getMPIODevices", *count, err, errbuf);
    if (flag("devices-fail")) {
        setError(err, errbuf, 2, "powermt: \"dev=all\" failed\n\tsee log");
        return -2;
    }
    if (flag("devices-grow")) { // always three more than offered
        const int offered = *count;
        *count = 0;
        return offered + 3;
    }
    std::vector<std::string> names;
    if (flag("no-powerpath")) { // the listing's filter finds nothing
        *count = 0;
        return 0;
    }
    if (flag("odd-names"))
        names = {"/dev/emcpower\ta", "/dev/emcpower\x1b[31mb", "/dev/emcpowerc\r"};
    else
        for (int i = 0, n = flag("many-devices") ? 100000 : 6; i < n; ++i)
            names.push_back(deviceName(i));
    const int capacity = *count;
    *count = fill(devices, capacity, names);
    const int segments = static_cast<int>(names.size()) + 1;
    return segments <= capacity ? 0 : segments;
}

int isMPIODevice(void*, const char* path, int* err, char* errbuf) {
    trace("isMPIODevice", 0, err, errbuf);
    if (std::strcmp(path, "/dev/fail") == 0) {
        setError(err, errbuf, -1, "");
        return -1;
    }
    return std::strncmp(path, "/dev/emcpower", 13) == 0 ? 1 : 0;
}

int getUnderlyingDevices(void*, const char* device, char** paths, int* count, int* err,
                         char* errbuf) {
    trace("getUnderlyingDevices", *count, err, errbuf);
    const std::string_view dev = device;
    std::vector<std::string> found;
    if (dev == "/dev/emcpowerc" || (initialised && dev == "/dev/emcpowerc1")) {
        found = {"/dev/sdb", "/dev/sdc", "/dev/sdd", "/dev/sde", "/dev/sdf", "/dev/sdg"};
    } else if (dev == "/dev/emcpowerd1") {
        setError(err, errbuf, 2, "pdev stat failed /dev/emcpowerd1(parent:/dev/emcpowerd) :2");
        found = {"/dev/sdh"};
    } else if (dev == "/dev/emcpowerx") {
        setError(err, errbuf, 2, "powermt: device not found");
        return -2;
    } else {
        return -6;
    }
    const int capacity = *count;
    *count = fill(paths, capacity, found);
    const int n = static_cast<int>(found.size());
    return n > capacity ? n : 0;
}

#ifndef MOCK_OMIT_REFRESH
int refreshMPIO(void*, int* err, char* errbuf) {
    trace("refreshMPIO", 0, err, errbuf);
    if (flag("refresh-fails")) {
        setError(err, errbuf, 5, "powermt config: failed\n");
        return 5;
    }
    std::string output;
    std::string error;
    if (const int code = TmProcess::system("exit 0", &output, &error, 0, false)) {
        setError(err, errbuf, code, error);
        return code;
    }
    return 0;
}
#endif

int deleteMPIODevice(void*, const char* device, int* err, char* errbuf) {
    trace("deleteMPIODevice", 0, err, errbuf);
    const std::string_view name = device;
    if (name == "busy") {
        setError(err, errbuf, 1, "device busy"); // the removal failed, the save succeeded
        return 0;
    }
    if (name == "emcpowerzz") { // unknown to powermt: its removal fails, the save succeeds
        setError(err, errbuf, 1, "Bad dev value emcpowerzz, or not under Powerpath control.\n");
        return 0;
    }
    if (name == "nosave") {
        setError(err, errbuf, 4, "cannot save");
        return 4;
    }
    return 0;
}

int isPartitionDevice(void*, const char* path, char* parent, int* err, char* errbuf) {
    trace("isPartitionDevice", 0, err, errbuf);
    const std::string_view p = path;
    if (p == "/dev/missing") {
        setError(err, errbuf, 2, "Stat /dev/missing failed:2");
        return 0;
    }
    if (!initialised || !p.starts_with("/dev/emcpowera") || p.size() == 14) return 0;
    if (parent) std::snprintf(parent, MAXMPIOPATHLEN, "%s", "/dev/emcpowera");
    return 1;
}

// /dev/emcpowera has five partitions, /dev/emcpowerb none; the table of
// /dev/emcpowerr cannot be read; anything else is not a whole pseudo device.
int getPartitionDevices(void*, const char* dev, TmPartInfo* parts, int* count, int, int* err,
                        char* errbuf) {
    trace("getPartitionDevices", count ? *count : -1, err, errbuf);
    const std::string_view d = dev;
    int found = 0;
    if (initialised && d == "/dev/emcpowera") {
        found = 5;
    } else if (initialised && d == "/dev/emcpowerb") {
        found = 0;
    } else {
        // The reader's -ENXIO, a node without a disk, is -6 as MPIO_NOT_A_PSEUDO_DEVICE is.
        const int code = initialised && d == "/dev/emcpowerr" ? -6 : -1;
        setError(err, errbuf, code, dev);
        if (count) *count = 0;
        return code;
    }
    for (int i = 0; i < found && i < *count; ++i) {
        TmPartInfo record{};
        std::snprintf(record.name, sizeof record.name, "%s%d", dev, i + 1);
        record.partNo = i + 1;
        record.start = 2048LL * (i + 1);
        record.size = 1000000LL * (i + 1);
        record.sectorSize = 512;
        record.major = 120;
        record.minor = i + 1;
        parts[i] = record;
    }
    *count = found;
    return found;
}
