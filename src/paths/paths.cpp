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

// Keeps the third field (the sd name) of every active or passive path line of
// "powermt display dev=NAME". Both blanks at the ends belong to the command.
// -a makes grep match text as text whatever the bytes and the locale: without
// it, a NUL byte ends its output and, in a UTF-8 locale, a line with a
// Latin-1 HBA or port name is dropped.
const char* const underlyingPathFilter =
    " | grep -a -v '=' | grep -a 'sd' | awk '/active|passive/ { print $3 }' ";

// Names reach the shell unquoted, so anything but a plain device name is
// refused before a command line is built from it.
int refuseUnsafeName(int* err, char* errbuf, const char* entry, const std::string& name) {
    return refuse(err, errbuf, entry, "refusing device name [" + name + "]: not a plain device name");
}

int runRecordingFailure(const std::string& command, std::string& output, std::string& error,
                        int* err, char* errbuf) {
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
    EvDebug(nullptr).DebugLvl("EMCPowerPath::getUnderlyingDevices", 0,
                              "Device=[%s] is a partition device, parent=[%s]", kernelName.c_str(), parent);
    return parent;
}

} // namespace

int getUnderlyingDevices(void* context, const char* device, char** paths, int* count, int* err,
                         char* errbuf) {
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
        const int status = runRecordingFailure(mpiodisplay_cmd + bare + underlyingPathFilter, output, error,
                                               err, errbuf);
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
