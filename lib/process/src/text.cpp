// SPDX-License-Identifier: Apache-2.0
#include <string.h>

#include <cerrno>
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

void appendEscaped(std::string& line, std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            line += "\\\\";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\t') {
            line += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            line += "\\x";
            line += hex[byte >> 4];
            line += hex[byte & 0xf];
        } else {
            line += c;
        }
    }
}

std::string escaped(std::string_view text) {
    std::string line;
    line.reserve(text.size());
    appendEscaped(line, text);
    return line;
}

int setDisposition(int sig, void (*handler)(int)) {
    struct sigaction action {};
    ::sigemptyset(&action.sa_mask);
    action.sa_handler = handler;
    return ::sigaction(sig, &action, nullptr) == 0 ? 0 : errno;
}

} // namespace mpio::process
