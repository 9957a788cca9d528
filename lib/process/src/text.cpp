// SPDX-License-Identifier: Apache-2.0
#include <string.h>

#include <string>

#include "mpio/process.h"

namespace mpio::process {

std::string errnoText(int error) {
    // strerrordesc_np, unlike strerror, never writes a shared buffer.
    if (const char* text = ::strerrordesc_np(error)) return text;
    return "error " + std::to_string(error);
}

std::string signalText(int signal) {
    if (const char* text = ::sigdescr_np(signal)) return text;
    return "signal " + std::to_string(signal);
}

} // namespace mpio::process
