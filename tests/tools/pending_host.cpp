// TEST-ONLY, TEMPORARY: the host services and settings that host/ does not
// define yet on this branch, so that mpioctl links and the plug-in binds its
// services when loaded. Each group is compiled only while host/src lacks it
// (see CMakeLists.txt); the whole file goes once host/ defines them all.
// It is a minimal stand-in: commands run through popen without a timeout,
// their error output is not captured, and no partition table is read.
#include <sys/wait.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <list>
#include <string>
#include <vector>

#include "TmHostServices.h"
#include "tmhost/TmHost.h"

#ifdef PENDING_TIMEOUT
namespace {
int defaultTimeoutSeconds = 0;
}
void tmhost::setDefaultTimeout(int seconds) { defaultTimeoutSeconds = seconds; }
int tmhost::defaultTimeout() { return defaultTimeoutSeconds; }
#endif

#ifdef PENDING_LOG
namespace {
tmhost::LogSink logSink = tmhost::LogSink::Off;
int logLowestLevel = 0;
std::FILE* logFile = nullptr;

void writeEntry(const char* tag, int level, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));
void writeEntry(const char* tag, int level, const char* format, va_list args) {
    std::FILE* to = logSink == tmhost::LogSink::StandardError ? stderr : logFile;
    if (logSink == tmhost::LogSink::Off || !to || level < logLowestLevel) return;
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) return;
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    std::fprintf(to, "[%s] %d: %s\n", tag ? tag : "", level, text.data());
    std::fflush(to);
}
} // namespace

bool tmhost::configureLog(LogSink sink, int lowestLevel, const std::string& file,
                          std::string* error) {
    if (logFile) std::fclose(logFile);
    logFile = nullptr;
    if (sink == LogSink::File && !(logFile = std::fopen(file.c_str(), "a"))) {
        if (error) *error = "cannot open " + file + " for the log";
        logSink = LogSink::Off;
        return false;
    }
    logSink = sink;
    logLowestLevel = lowestLevel;
    return true;
}

EvDebug::EvDebug(EvDebugFileInstance*) {}
EvDebug::~EvDebug() {}

int EvDebug::Debug(const char* tag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeEntry(tag, 0, format, args);
    va_end(args);
    return 0;
}

int EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeEntry(tag, level, format, args);
    va_end(args);
    return 0;
}
#endif

#ifdef PENDING_PROCESS
int TmProcess::system(const char* command, std::string* output, std::string* error, int, bool) {
    std::FILE* pipe = popen(command, "r");
    if (!pipe) {
        if (error) *error = "cannot start /bin/sh";
        return tmhost::kSpawnFailed;
    }
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        if (output) output->append(chunk, got);
    const int status = pclose(pipe);
    if (status == -1) return tmhost::kCaptureFailed;
    const int result = WIFEXITED(status) ? WEXITSTATUS(status)
                                         : tmhost::kKilledBySignal + WTERMSIG(status);
    if (result != 0 && error) *error = "command failed with result " + std::to_string(result);
    return result;
}
#endif

#ifdef PENDING_PARTITIONS
int getPartitions(const char*, std::list<slice>*) { return -ENOSYS; }
#endif
