// SPDX-License-Identifier: Apache-2.0
// The plug-in's frame: the command table built at load, the vendor name,
// getVendorName and init, which discovers the PowerPath admin major number.
#include <string>

#include "TmHostServices.h"
#include "TmMPIO_EMCPowerPath.h"
#include "plugin/plugin_internal.h"

namespace tmmpio {

// Built in this order when the library is loaded (definition order within
// one translation unit); every command after mpiocmd is made from it.
const std::string mpiocmd = "powermt";
const std::string mpioremove_cmd = mpiocmd + " remove force dev=";
const std::string mpiodisplay_cmd = mpiocmd + " display dev=";
const std::string mpiorelease_cmd = mpiocmd + " release";
const std::string mpiosave_cmd = mpiocmd + " save";
const std::string mpiorefresh_cmd = mpiocmd + " config";
const std::string mpio_prefix = "/dev/";

std::atomic<int> admin_major{0};

std::string filteredPowermt(const std::string& powermtCommand, const std::string& filter) {
    // A pipeline's status is that of its last command, and /bin/sh may be a
    // shell without pipefail (dash): a powermt that failed would look like
    // one that listed nothing. So powermt's status is written to descriptor
    // 4 and read into s by the command substitution, while the filter writes
    // to the line's standard output, kept on descriptor 3. powermt gets
    // neither descriptor, so that nothing it leaves running holds them open.
    return "{ s=$({ { " + powermtCommand + " 3>&- 4>&-; echo $? >&4; } | " + filter +
           " >&3; } 4>&1); } 3>&1; f=$?; [ \"$s\" = 0 ] && exit $f; exit \"$s\"";
}

} // namespace tmmpio

using namespace tmmpio;

namespace {
char vendorNameText[] = "Trelmaron: EMC PowerPath MPIO";

// First field of every /proc/devices line that names the PowerPath class.
const char* const adminMajorDiscovery_cmd = "cat /proc/devices | grep 'power2' | awk '{print $1}'";

// The text before the first newline.
std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }
} // namespace

char* _VendorName = vendorNameText;

const char* getVendorName(void) { return _VendorName; }

const char* init(void* /*context*/, int* err, char* errbuf) {
    if (!outParamsPresent(err, errbuf)) return nullptr;
    return withoutExceptions<const char*>(nullptr, nullptr, nullptr, [&]() -> const char* {
        const char* vendor = _VendorName;
        std::string output;
        std::string error;
        if (TmProcess::system(adminMajorDiscovery_cmd, &output, &error, 0, false) != 0) return nullptr;
        // Only the number on the first matching line counts. Device numbers
        // are positive: 0 would make every regular file and unexaminable path
        // look like a pseudo device, so anything else fails init and keeps
        // the number it had.
        const int major = parseLeadingInt(output);
        if (major <= 0) {
            *err = -1;
            formatToCallerBuffer(errbuf, "init: no positive admin major number in /proc/devices: read [%s]",
                                 firstLine(output).c_str());
            return nullptr;
        }
        admin_major.store(major);
        EvDebug(nullptr).Debug("init", "Admin device major number :%d %s.", major, output.c_str());
        return vendor;
    });
}
