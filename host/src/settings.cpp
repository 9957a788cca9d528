// Host-wide settings of the process runner, and the text helpers.
#include <cstring>
#include <atomic>
#include <string>

#include "internal.h"
#include "tmhost/TmHost.h"

namespace tmhost {
namespace {
std::atomic<int> defaultTimeoutSeconds{0};
} // namespace

void setDefaultTimeout(int seconds) {
    defaultTimeoutSeconds.store(seconds > 0 ? seconds : 0, std::memory_order_relaxed);
}

int defaultTimeout() { return defaultTimeoutSeconds.load(std::memory_order_relaxed); }

namespace detail {

std::string errnoText(int error) {
    // strerrordesc_np, unlike strerror, never writes a shared buffer.
    if (const char* text = ::strerrordesc_np(error)) return text;
    return "error " + std::to_string(error);
}

std::string signalText(int signal) {
    if (const char* text = ::sigdescr_np(signal)) return text;
    return "signal " + std::to_string(signal);
}

} // namespace detail
} // namespace tmhost
