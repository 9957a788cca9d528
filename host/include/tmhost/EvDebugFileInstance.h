// SPDX-License-Identifier: Apache-2.0
// A log file of its own for EvDebug objects. A log object constructed with an
// EvDebugFileInstance writes its entries there, whatever sink configureLog
// chose (the lowest level set there still applies); one constructed with a
// null instance writes to the configured sink. The instance must outlive every
// log object built with it. Several threads may write through one instance at
// once: each entry goes out whole, in one write.
#ifndef TMHOST_EVDEBUGFILEINSTANCE_H
#define TMHOST_EVDEBUGFILEINSTANCE_H

#include <mutex>
#include <string>
#include <string_view>

class EvDebugFileInstance {
public:
    // Opens path for append, creating it (mode 0644) if it does not exist.
    // When that fails, isOpen() is false, error() says why and every entry
    // written through the instance fails (-1).
    explicit EvDebugFileInstance(const std::string& path);
    ~EvDebugFileInstance();
    EvDebugFileInstance(const EvDebugFileInstance&) = delete;
    EvDebugFileInstance& operator=(const EvDebugFileInstance&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }

    // Appends one formatted entry. Result: bytes written, or -1.
    int write(std::string_view entry);

private:
    std::string path_;
    std::string error_;
    int fd_ = -1;
    std::mutex mutex_;
};

#endif // TMHOST_EVDEBUGFILEINSTANCE_H
