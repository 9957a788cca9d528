// SPDX-License-Identifier: Apache-2.0
// Path administration: the physical paths behind a pseudo device, the
// rescan of the multipath configuration and the removal of a pseudo device.
#include <string>
#include <string_view>

#include "TmHostServices.h"
#include "TmMPIO_EMCPowerPath.h"
#include "inventory/device_names.h"
#include "plugin/plugin_internal.h"

using namespace tmmpio;

namespace {

// The sd name of every path line of "powermt display dev=NAME" whose Mode
// column says active or passive. The columns are found from the right,
// since the HW Path column may hold blanks (PowerPath 4 shows the adapter,
// "QLogic Fibre Channel 2300"): Mode is the fourth-last field, and the I/O
// Paths column comes just before the Interf. column, which is one word
// ("SP-A") or two ("FA  9dB", "SP A1"). A line whose path column is no sd
// name (sd and lower-case letters) gives nothing. Lines with "=" are the
// block's header. awk takes every byte as it is, whatever the locale.
const char* const underlyingPathFilter =
    "awk '!/=/ && NF >= 7 && ($(NF-3) == \"active\" || $(NF-3) == \"passive\") "
    "{ p = $(NF-5); if (p !~ /^sd[a-z]+$/) p = $(NF-6); if (p ~ /^sd[a-z]+$/) print p }'";

// Names reach the shell unquoted, so anything but a plain device name is
// refused before a command line is built from it.
int refuseUnsafeName(int* err, char* errbuf, const char* entry, const std::string& name) {
    return refuse(err, errbuf, entry, "refusing device name [" + name + "]: not a plain device name");
}

int runRecordingFailure(const std::string& command, std::string& output, std::string& error, int* err, char* errbuf) {
    const int status = TmProcess::system(command.c_str(), &output, &error, 0, false);
    if (status != 0) recordFailedRun(status, error, err, errbuf);
    return status;
}

// The whole pseudo device that powermt knows: a partition's parent, which
// is logged, or the device itself.
std::string wholeDevice(void* context, const std::string& kernelName, int* err, char* errbuf) {
    char parent[MAXMPIOPATHLEN + 1] = {};
    const std::string examined = prepareDevName(kernelName);
    if (isPartitionDevice(context, examined.c_str(), parent, err, errbuf) == 0) return kernelName;
    EvDebug(nullptr).DebugLvl("EMCPowerPath::getUnderlyingDevices", 0, "Device=[%s] is a partition device, parent=[%s]",
                              kernelName.c_str(), parent);
    return parent;
}

} // namespace

int getUnderlyingDevices(void* context, const char* device, char** paths, int* count, int* err, char* errbuf) {
    static const char* const self = "getUnderlyingDevices";
    if (!outParamsPresent(err, errbuf)) return -1;
    if (device == nullptr) return refuse(err, errbuf, self, "no device path given");
    if (paths == nullptr) return refuse(err, errbuf, self, "no path array given");
    if (count == nullptr) return refuse(err, errbuf, self, "no path count given");
    return withoutExceptions(err, errbuf, -1, [&] {
        std::string kernelName = device;
        if (FindMpDeviceName(device, kernelName) == 0) return MPIO_NOT_A_PSEUDO_DEVICE;

        const std::string bare = bareDeviceName(wholeDevice(context, kernelName, err, errbuf));
        if (!isPlainDeviceName(bare)) return refuseUnsafeName(err, errbuf, self, bare);

        std::string output;
        std::string error;
        const int status = runRecordingFailure(filteredPowermt(mpiodisplay_cmd + bare, underlyingPathFilter), output,
                                               error, err, errbuf);
        if (status != 0) return negatedStatus(status);
        return storeLines(output, EmptyLines::Skipped, paths, count);
    });
}

int refreshMPIO(void* /*context*/, int* err, char* errbuf) {
    if (!outParamsPresent(err, errbuf)) return -1;
    return withoutExceptions(err, errbuf, -1, [&] {
        std::string output;
        std::string error;
        return runRecordingFailure(mpiorefresh_cmd, output, error, err, errbuf);
    });
}

int deleteMPIODevice(void* /*context*/, const char* device, int* err, char* errbuf) {
    static const char* const self = "deleteMPIODevice";
    if (!outParamsPresent(err, errbuf)) return -1;
    if (device == nullptr) return refuse(err, errbuf, self, "no device name given");
    return withoutExceptions(err, errbuf, -1, [&] {
        const std::string bare = bareDeviceName(device);
        if (!isPlainDeviceName(bare)) return refuseUnsafeName(err, errbuf, self, bare);
        // One capture pair serves the three runs; all three always run, and
        // the result is that of the save.
        std::string output;
        std::string error;
        runRecordingFailure(mpioremove_cmd + bare, output, error, err, errbuf);
        runRecordingFailure(mpiorelease_cmd, output, error, err, errbuf);
        return runRecordingFailure(mpiosave_cmd, output, error, err, errbuf);
    });
}
