// State and helpers that the plug-in's source files share. Nothing declared
// here is exported from the library.
#ifndef TMMPIO_PLUGIN_INTERNAL_H
#define TMMPIO_PLUGIN_INTERNAL_H

#include <atomic>
#include <exception>
#include <string>
#include <string_view>

#define TMMPIO_INTERNAL __attribute__((visibility("hidden")))

// The command table, built when the library is loaded. Each command is
// mpiocmd followed by its sub-command; callers append names or filters.
TMMPIO_INTERNAL extern const std::string mpiocmd;         // "powermt"
TMMPIO_INTERNAL extern const std::string mpioremove_cmd;  // "powermt remove force dev="
TMMPIO_INTERNAL extern const std::string mpiodisplay_cmd; // "powermt display dev="
TMMPIO_INTERNAL extern const std::string mpiorelease_cmd; // "powermt release"
TMMPIO_INTERNAL extern const std::string mpiosave_cmd;    // "powermt save"
TMMPIO_INTERNAL extern const std::string mpiorefresh_cmd; // "powermt config"
TMMPIO_INTERNAL extern const std::string mpio_prefix;     // "/dev/"

// Major device number of the PowerPath device class; 0 until init finds it.
TMMPIO_INTERNAL extern std::atomic<int> admin_major;

// The out-parameter check of the guarded entry points: false when the call
// must fail at once. A missing errbuf still gets -1 into err.
TMMPIO_INTERNAL bool outParamsPresent(int* err, char* errbuf);

// Copies text into a caller's 1024-byte buffer: at most 1023 bytes of it,
// then NUL bytes up to and including the last byte of the buffer.
TMMPIO_INTERNAL void copyToCallerBuffer(char* buffer, std::string_view text);

// Formats into a caller's 1024-byte buffer, bounded and NUL-terminated.
TMMPIO_INTERNAL void formatToCallerBuffer(char* buffer, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Copies prefix followed by text into a caller's 1024-byte buffer, bounded
// and zero-filled as copyToCallerBuffer does, without building the string.
TMMPIO_INTERNAL void copyPrefixedToCallerBuffer(char* buffer, std::string_view prefix,
                                                std::string_view text);

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

#endif // TMMPIO_PLUGIN_INTERNAL_H
