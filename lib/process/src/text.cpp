// SPDX-License-Identifier: Apache-2.0
#include <string.h>

#include <string>

#include "mpio/process.h"

namespace mpio::process {

// strerrordesc_np and sigdescr_np (C library 2.32 on), unlike strerror and
// strsignal, never write a shared buffer; before them, the GNU strerror_r
// writes the caller's, and strsignal a buffer of the thread's own.
std::string errnoText(int error) {
#if __GLIBC_PREREQ(2, 32)
    if (const char* text = ::strerrordesc_np(error)) return text;
    return "error " + std::to_string(error);
#else
    char buffer[256];
    return ::strerror_r(error, buffer, sizeof buffer);
#endif
}

std::string signalText(int signal) {
#if __GLIBC_PREREQ(2, 32)
    if (const char* text = ::sigdescr_np(signal)) return text;
    return "signal " + std::to_string(signal);
#else
    return ::strsignal(signal);
#endif
}

} // namespace mpio::process
