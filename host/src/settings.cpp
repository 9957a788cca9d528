// SPDX-License-Identifier: Apache-2.0
// Host-wide settings of the process runner.
#include <atomic>

#include "tmhost/TmHost.h"

namespace tmhost {
namespace {
std::atomic<int> defaultTimeoutSeconds{0};
} // namespace

void setDefaultTimeout(int seconds) {
    defaultTimeoutSeconds.store(seconds > 0 ? seconds : 0, std::memory_order_relaxed);
}

int defaultTimeout() { return defaultTimeoutSeconds.load(std::memory_order_relaxed); }

} // namespace tmhost
