// SPDX-License-Identifier: Apache-2.0
// The caller layer: everything the entry points do with the host's
// out-parameters and fixed-size buffers. Nothing declared here is exported.
#ifndef TMMPIO_PLUGIN_CALLER_H
#define TMMPIO_PLUGIN_CALLER_H

#include <exception>
#include <string>
#include <string_view>

#define TMMPIO_INTERNAL __attribute__((visibility("hidden")))

namespace tmmpio {

// The out-parameter check of the guarded entry points: false when the call
// must fail at once. A missing errbuf still gets -1 into err.
TMMPIO_INTERNAL bool outParamsPresent(int* err, char* errbuf);

// Refuses a call that cannot be carried out as asked: err -1 and
// "entry: why" in errbuf, each only when given. Returns -1.
TMMPIO_INTERNAL int refuse(int* err, char* errbuf, const char* entry, std::string_view why);

// A failed command: its status into err and its error text into errbuf,
// replacing what an earlier failure left there.
TMMPIO_INTERNAL void recordFailedRun(int status, const std::string& error, int* err, char* errbuf);

// Copies text into a caller's 1024-byte buffer: at most 1023 bytes of it,
// then NUL bytes up to and including the last byte of the buffer.
TMMPIO_INTERNAL void copyToCallerBuffer(char* buffer, std::string_view text);

// Formats into a caller's 1024-byte buffer, bounded and NUL-terminated.
TMMPIO_INTERNAL void formatToCallerBuffer(char* buffer, const char* format, ...) __attribute__((format(printf, 2, 3)));

// How the lines of a command's output are counted for the caller: the
// device listing counts every segment between newlines (empty ones and the
// one after the last newline too); the path listing counts non-empty lines.
enum class EmptyLines { Counted, Skipped };

// Stores mpio_prefix followed by each non-empty line of output into the
// caller's array of 1024-byte buffers, in order, while the capacity read
// through count lasts; sets count to the number stored. Returns 0 when every
// counted line fitted, else their number (saturated at the int range), so
// that the caller can ask again with room for all.
TMMPIO_INTERNAL int storeLines(std::string_view output, EmptyLines empty, char** array, int* count);

// n saturated at the int range.
TMMPIO_INTERNAL int clampToInt(long long n);

// The result that reports a failed command with status s: minus its absolute
// value (INT_MIN, which has no positive counterpart, stays as it is).
TMMPIO_INTERNAL int negatedStatus(int status);

// The system's text for an errno value (thread-safe).
TMMPIO_INTERNAL std::string errnoText(int error);

// Reads a decimal number as atoi does (leading white space, optional sign,
// digits up to the first other character, 0 when there are none), but
// saturates at the int range instead of overflowing.
TMMPIO_INTERNAL int parseLeadingInt(std::string_view text);

// Entry points never let an exception reach the host: a failure inside the
// body (such as an allocation failure) becomes err -1 with its text in errbuf
// and the given failure result.
template <typename Result, typename Body>
Result withoutExceptions(int* err, char* errbuf, Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        if (err) *err = -1;
        if (errbuf) formatToCallerBuffer(errbuf, "internal failure: %s", e.what());
    } catch (...) {
        if (err) *err = -1;
        if (errbuf) copyToCallerBuffer(errbuf, "internal failure");
    }
    return failure;
}

} // namespace tmmpio

#endif // TMMPIO_PLUGIN_CALLER_H
