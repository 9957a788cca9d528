#include "caller_marks.h"

#include <dirent.h>

#include <cstring>

namespace callermarks {

bool marked(const char* begin, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (begin[i] != kMark) return false;
    return true;
}

::testing::AssertionResult bufferHolds(const char* buffer, std::size_t n, const std::string& text) {
    const std::size_t length = ::strnlen(buffer, n);
    if (length == n) return ::testing::AssertionFailure() << "no NUL in the buffer";
    if (std::string(buffer, length) != text)
        return ::testing::AssertionFailure() << "holds [" << std::string(buffer, length).substr(0, 200)
                                             << "], not [" << text.substr(0, 200) << "]";
    for (std::size_t i = length; i < n; ++i)
        if (buffer[i] != '\0')
            return ::testing::AssertionFailure() << "byte " << i << " after the text is not NUL";
    return ::testing::AssertionSuccess();
}

ErrorOut::ErrorOut() { std::memset(errbuf, kMark, sizeof errbuf); }

bool ErrorOut::untouched() const { return err == kUnwritten && marked(errbuf, sizeof errbuf); }

::testing::AssertionResult ErrorOut::holds(int code, const std::string& text) const {
    if (err != code) return ::testing::AssertionFailure() << "err is " << err << ", not " << code;
    return bufferHolds(errbuf, sizeof errbuf, text);
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

} // namespace callermarks
