// Path administration: the physical paths behind a pseudo device, the
// rescan of the multipath configuration and the removal of a pseudo device.
#include <string>
#include <string_view>

#include "TmHostServices.h"
#include "TmMPIO_EMCPowerPath.h"
#include "inventory/device_names.h"
#include "plugin/plugin_internal.h"

namespace {

// Keeps the third field (the sd name) of every active or passive path line of
// "powermt display dev=NAME". Both blanks at the ends belong to the command.
// -a makes grep match text as text whatever the bytes and the locale: without
// it, a NUL byte ends its output and, in a UTF-8 locale, a line with a
// Latin-1 HBA or port name is dropped.
const char* const underlyingPathFilter =
    " | grep -a -v '=' | grep -a 'sd' | awk '/active|passive/ { print $3 }' ";

constexpr int kNotAPseudoDevice = -6;

int refuse(int* err, char* errbuf, const char* entryPoint, const char* why) {
    *err = -1;
    formatToCallerBuffer(errbuf, "%s: %s", entryPoint, why);
    return -1;
}

// Names reach the shell unquoted, so anything but a plain device name is
// refused before a command line is built from it.
int refuseUnsafeName(int* err, char* errbuf, const char* entryPoint, const std::string& name) {
    *err = -1;
    formatToCallerBuffer(errbuf, "%s: refusing device name [%s]: not a plain device name", entryPoint,
                         name.c_str());
    return -1;
}

// A failed run leaves its status in err and its whole error text in errbuf,
// replacing what an earlier failure left there.
void recordFailedRun(int status, const std::string& error, int* err, char* errbuf) {
    *err = status;
    copyToCallerBuffer(errbuf, error);
}

int runRecordingFailure(const std::string& command, std::string& output, std::string& error,
                        int* err, char* errbuf) {
    const int status = TmProcess::system(command.c_str(), &output, &error, 0, false);
    if (status != 0) recordFailedRun(status, error, err, errbuf);
    return status;
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
        std::string working = device;
        if (FindMpDeviceName(device, working) == 0) return kNotAPseudoDevice;

        // A partition is replaced by its whole pseudo device.
        char parent[MAXMPIOPATHLEN + 1] = {};
        const std::string examined = prepareDevName(working);
        if (isPartitionDevice(context, examined.c_str(), parent, err, errbuf) != 0) {
            EvDebug(nullptr).DebugLvl("EMCPowerPath::getUnderlyingDevices", 0,
                                      "Device=[%s] is a partition device, parent=[%s]",
                                      working.c_str(), parent);
            working = parent;
        }
        const std::string bare = bareDeviceName(working);
        if (!isPlainDeviceName(bare)) return refuseUnsafeName(err, errbuf, self, bare);

        const std::string command = mpiodisplay_cmd + bare + underlyingPathFilter;
        std::string output;
        std::string error;
        const int status = TmProcess::system(command.c_str(), &output, &error, 0, false);
        if (status != 0) {
            recordFailedRun(status, error, err, errbuf);
            return negatedStatus(status);
        }

        // Lines are separated by newlines; empty lines are neither copied nor
        // counted.
        const int capacity = *count;
        int copied = 0;
        long long found = 0;
        const std::string_view text = output;
        for (std::size_t from = 0; from < text.size();) {
            std::size_t end = text.find('\n', from);
            if (end == std::string_view::npos) end = text.size();
            if (end > from) {
                if (copied < capacity)
                    copyPrefixedToCallerBuffer(paths[copied++], mpio_prefix,
                                               text.substr(from, end - from));
                ++found;
            }
            from = end + 1;
        }
        *count = copied;
        if (found <= capacity) return 0;
        return found > 0x7fffffff ? 0x7fffffff : static_cast<int>(found);
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
