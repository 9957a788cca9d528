// Caller-side buffers filled with marks, to tell exactly what a call of the
// plug-in wrote into them, and a count of the process's open descriptors.
#ifndef TESTS_SUPPORT_CALLER_MARKS_H
#define TESTS_SUPPORT_CALLER_MARKS_H

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "TmMPIO_EMCPowerPath.h"

namespace callermarks {

constexpr char kMark = '~';

// True when all n bytes still hold the mark.
bool marked(const char* begin, std::size_t n);

// A buffer of n bytes holding text, then NUL bytes to its end.
::testing::AssertionResult bufferHolds(const char* buffer, std::size_t n, const std::string& text);

// An error code and error buffer filled with marks, to tell what a call wrote.
struct ErrorOut {
    static constexpr int kUnwritten = 0x5eed;
    int err = kUnwritten;
    char errbuf[MAXMPIOERRORLEN];

    ErrorOut();
    bool untouched() const;
    // err as given, errbuf holding exactly text followed by NUL bytes to the end.
    ::testing::AssertionResult holds(int code, const std::string& text) const;
};

// The entries of /proc/self/fd (the directory's own descriptor included).
int openDescriptors();

} // namespace callermarks

#endif // TESTS_SUPPORT_CALLER_MARKS_H
