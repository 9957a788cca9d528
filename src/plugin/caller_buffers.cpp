// Bounded copies into the host's fixed-size buffers and the shared
// out-parameter check of the guarded entry points.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TmMPIO_EMCPowerPath.h"
#include "plugin/plugin_internal.h"

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

void copyPrefixedToCallerBuffer(char* buffer, std::string_view prefix, std::string_view text) {
    constexpr std::size_t capacity = MAXMPIOPATHLEN;
    const std::size_t p = prefix.size() < capacity - 1 ? prefix.size() : capacity - 1;
    std::memcpy(buffer, prefix.data(), p);
    const std::size_t room = capacity - 1 - p;
    const std::size_t n = text.size() < room ? text.size() : room;
    std::memcpy(buffer + p, text.data(), n);
    std::memset(buffer + p + n, 0, capacity - p - n);
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
