// SPDX-License-Identifier: Apache-2.0
// EvDebug: the debug log, its host-wide sink and its file instances.
//
// A log object has no data members (the plug-in builds it on its own stack
// with the pinned declaration), so the file instance of each live object is
// kept in a side table keyed by the object's address.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "TmHostServices.h"
#include "internal.h"
#include "tmhost/EvDebugFileInstance.h"
#include "tmhost/TmHost.h"

namespace {

using tmhost::detail::errnoText;

// Opens path for appending entries. Result: the descriptor, or -1 with why
// filled in. O_NONBLOCK keeps a FIFO without reader from hanging the open;
// it is cleared again so that writes are complete.
int openForAppend(const std::string& path, std::string& why) {
    if (path.empty()) {
        why = "no log file name given";
        return -1;
    }
    int fd;
    do fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        why = "cannot open log file " + path + ": " + errnoText(errno);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

// Writes one entry completely. The caller's mutex keeps entries of different
// threads from interleaving should the kernel take an entry in pieces.
int writeEntry(int fd, std::mutex& mutex, std::string_view entry) {
    std::lock_guard lock(mutex);
    if (const int error = mpio::process::writeAll(fd, entry); error != 0) {
        errno = error;
        return -1;
    }
    return entry.size() > INT_MAX ? INT_MAX : static_cast<int>(entry.size());
}

// The host-wide sink. Standard error is used, not owned.
struct Sink {
    Sink(int fd, bool owned) : fd(fd), owned(owned) {}
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;
    ~Sink() {
        if (owned) ::close(fd);
    }
    const int fd;
    const bool owned;
    std::mutex mutex;
};

// Never destroyed, so that logging keeps working during static destruction.
struct Settings {
    std::mutex mutex;
    std::shared_ptr<Sink> sink; // null: off
    std::atomic<bool> on{false};
    std::atomic<int> lowestLevel{0};
    // The file instance of every live log object constructed with one.
    std::mutex instancesMutex;
    std::unordered_map<const EvDebug*, EvDebugFileInstance*> instances;
    std::atomic<std::size_t> instanceCount{0};
};

Settings& settings() {
    static Settings* s = new Settings;
    return *s;
}

EvDebugFileInstance* instanceOf(const EvDebug* log) {
    Settings& s = settings();
    if (s.instanceCount.load(std::memory_order_acquire) == 0) return nullptr;
    std::lock_guard lock(s.instancesMutex);
    const auto it = s.instances.find(log);
    return it == s.instances.end() ? nullptr : it->second;
}

std::shared_ptr<Sink> currentSink() {
    Settings& s = settings();
    if (!s.on.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard lock(s.mutex);
    return s.sink;
}

void appendTimestamp(std::string& line) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm t{};
    ::gmtime_r(&now.tv_sec, &t);
    char text[64];
    const int n =
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1,
                      t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    if (n > 0) line.append(text, static_cast<std::size_t>(n) < sizeof text ? n : sizeof text - 1);
}

__attribute__((format(printf, 2, 0))) bool appendFormatted(std::string& line, const char* format, va_list args) {
    char small[1024];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return false;
    const auto length = static_cast<std::size_t>(n);
    if (length < sizeof small) {
        line.append(small, length);
        return true;
    }
    const std::size_t at = line.size();
    line.resize(at + length + 1);
    std::vsnprintf(line.data() + at, length + 1, format, args);
    line.resize(at + length);
    return true;
}

// A message may end in the newline that ends its entry; that one is not escaped.
std::string_view withoutFinalNewline(std::string_view message) {
    if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
    return message;
}

// Keeps an entry on one line, in the escaping that mpioctl's text output
// shares.
using mpio::process::appendEscaped;

__attribute__((format(printf, 4, 0))) int emit(const EvDebug* log, const char* tag, int level, const char* format,
                                               va_list args) {
    if (!format) return -1;
    level = tmhost::clampLogLevel(level);
    if (level < settings().lowestLevel.load(std::memory_order_relaxed)) return 0;
    EvDebugFileInstance* file = instanceOf(log);
    std::shared_ptr<Sink> sink;
    if (file) {
        if (!file->isOpen()) return -1;
    } else if (!(sink = currentSink())) {
        return 0;
    }
    std::string line;
    line.reserve(128);
    appendTimestamp(line);
    line += " [";
    appendEscaped(line, tag ? tag : "-");
    line += "] ";
    line += std::to_string(level);
    line += ": ";
    std::string message;
    if (!appendFormatted(message, format, args)) return -1;
    appendEscaped(line, withoutFinalNewline(message));
    line += '\n';
    return file ? file->write(line) : writeEntry(sink->fd, sink->mutex, line);
}

// Logging leaves errno as it found it.
class KeepErrno {
public:
    KeepErrno() : saved_(errno) {}
    ~KeepErrno() { errno = saved_; }

private:
    int saved_;
};

} // namespace

EvDebugFileInstance::EvDebugFileInstance(const std::string& path) : path_(path) { fd_ = openForAppend(path_, error_); }

EvDebugFileInstance::~EvDebugFileInstance() {
    if (fd_ >= 0) ::close(fd_);
}

int EvDebugFileInstance::write(std::string_view entry) {
    if (fd_ < 0) return -1;
    return writeEntry(fd_, mutex_, entry);
}

EvDebug::EvDebug(EvDebugFileInstance* file) {
    if (!file) return;
    Settings& s = settings();
    std::lock_guard lock(s.instancesMutex);
    if (s.instances.insert_or_assign(this, file).second) s.instanceCount.fetch_add(1, std::memory_order_release);
}

EvDebug::~EvDebug() {
    Settings& s = settings();
    if (s.instanceCount.load(std::memory_order_acquire) == 0) return;
    std::lock_guard lock(s.instancesMutex);
    if (s.instances.erase(this) != 0) s.instanceCount.fetch_sub(1, std::memory_order_release);
}

int EvDebug::Debug(const char* tag, const char* format, ...) {
    KeepErrno keep;
    va_list args;
    va_start(args, format);
    const int result = emit(this, tag, 0, format, args);
    va_end(args);
    return result;
}

int EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
    KeepErrno keep;
    va_list args;
    va_start(args, format);
    const int result = emit(this, tag, level, format, args);
    va_end(args);
    return result;
}

namespace tmhost {

bool configureLog(LogSink sink, int lowestLevel, const std::string& file, std::string* error) {
    std::shared_ptr<Sink> next;
    std::string why;
    switch (sink) {
    case LogSink::Off: break;
    case LogSink::StandardError: next = std::make_shared<Sink>(STDERR_FILENO, false); break;
    case LogSink::File: {
        const int fd = openForAppend(file, why);
        if (fd < 0) {
            if (error) *error = why;
            return false;
        }
        next = std::make_shared<Sink>(fd, true);
        break;
    }
    default:
        if (error) *error = "unknown log sink " + std::to_string(static_cast<int>(sink));
        return false;
    }
    Settings& s = settings();
    std::shared_ptr<Sink> previous;
    {
        std::lock_guard lock(s.mutex);
        previous = std::move(s.sink);
        s.sink = std::move(next);
        s.lowestLevel.store(lowestLevel, std::memory_order_relaxed);
        s.on.store(s.sink != nullptr, std::memory_order_release);
    }
    if (error) error->clear();
    return true; // previous is closed here, or when its last entry in flight is written
}

} // namespace tmhost
