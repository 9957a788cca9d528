// SPDX-License-Identifier: Apache-2.0
// The caller layer: the out-parameter check, refusals, bounded copies into
// the host's fixed-size buffers and the storing of output lines into them.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TmMPIO_EMCPowerPath.h"
#include "plugin/plugin_internal.h"

namespace tmmpio {

namespace {

// Copies prefix followed by text into a caller's 1024-byte buffer, bounded
// and zero-filled as copyToCallerBuffer does, without building the string.
void copyPrefixedToCallerBuffer(char* buffer, std::string_view prefix, std::string_view text) {
    constexpr std::size_t capacity = MAXMPIOPATHLEN;
    const std::size_t p = prefix.size() < capacity - 1 ? prefix.size() : capacity - 1;
    std::memcpy(buffer, prefix.data(), p);
    const std::size_t room = capacity - 1 - p;
    const std::size_t n = text.size() < room ? text.size() : room;
    std::memcpy(buffer + p, text.data(), n);
    std::memset(buffer + p + n, 0, capacity - p - n);
}

} // namespace

bool outParamsPresent(int* err, char* errbuf) {
    if (err == nullptr) return false;
    if (errbuf == nullptr) {
        *err = -1;
        return false;
    }
    return true;
}

void copyToCallerBuffer(char* buffer, std::string_view text) {
    constexpr std::size_t capacity = MAXMPIOPATHLEN;
    static_assert(MAXMPIOPATHLEN == MAXMPIOERRORLEN);
    const std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(buffer, text.data(), n);
    std::memset(buffer + n, 0, capacity - n);
}

int refuse(int* err, char* errbuf, const char* entry, std::string_view why) {
    if (err) *err = -1;
    // The buffer holds less than MAXMPIOERRORLEN bytes of why anyway.
    const int shown = static_cast<int>(why.size() < MAXMPIOERRORLEN ? why.size() : MAXMPIOERRORLEN);
    if (errbuf) formatToCallerBuffer(errbuf, "%s: %.*s", entry, shown, why.data());
    return -1;
}

void recordFailedRun(int status, const std::string& error, int* err, char* errbuf) {
    *err = status;
    copyToCallerBuffer(errbuf, error);
}

int storeLines(std::string_view output, EmptyLines empty, char** array, int* count) {
    const int capacity = *count;
    int stored = 0;
    long long counted = 0;
    for (std::size_t from = 0;;) {
        const std::size_t newline = output.find('\n', from);
        const std::size_t end = newline == std::string_view::npos ? output.size() : newline;
        const std::string_view line = output.substr(from, end - from);
        if (!line.empty() && stored < capacity) copyPrefixedToCallerBuffer(array[stored++], mpio_prefix, line);
        if (!line.empty() || empty == EmptyLines::Counted) ++counted;
        if (newline == std::string_view::npos) break;
        from = newline + 1;
    }
    *count = stored;
    return counted <= capacity ? 0 : clampToInt(counted);
}

int clampToInt(long long n) {
    if (n > INT_MAX) return INT_MAX;
    if (n < INT_MIN) return INT_MIN;
    return static_cast<int>(n);
}

int negatedStatus(int status) {
    if (status == INT_MIN) return INT_MIN;
    return status < 0 ? status : -status;
}

std::string errnoText(int error) {
    char scratch[256];
    // GNU strerror_r returns either scratch or a static text.
    return strerror_r(error, scratch, sizeof scratch);
}

void formatToCallerBuffer(char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, MAXMPIOERRORLEN, format, args);
    va_end(args);
    // vsnprintf already terminated the text; clear what lies after it so no
    // part of an earlier message stays readable in the buffer.
    const std::size_t used = n < 0 ? 0 : (n < MAXMPIOERRORLEN ? std::size_t(n) : MAXMPIOERRORLEN - 1);
    std::memset(buffer + used, 0, MAXMPIOERRORLEN - used);
}

int parseLeadingInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) break; // saturated below
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

} // namespace tmmpio
