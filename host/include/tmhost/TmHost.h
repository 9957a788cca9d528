// SPDX-License-Identifier: Apache-2.0
// Settings and result codes of the host stand-in, the library that provides
// the host services (TmHostServices.h) to a host program.
//
// TmProcess::system(command, output, error, timeoutSeconds, mergeErrors)
//   Runs command with /bin/sh -c in a process group of its own, with default
//   signal dispositions, an empty signal mask, an empty standard input and
//   no open descriptor but 0, 1 and 2.
//   - output, error: replaced (not appended to) when non-null; a null pointer
//     discards that stream. If both point to the same string it is treated
//     as mergeErrors (the captured text wins; no failure text is added).
//   - error receives the command's whole standard error. When the result is
//     not 0 and the command wrote nothing there, it receives a short text
//     saying how the run failed instead: "exit status 3", "killed by signal
//     9 (Killed)", "timed out after 2 s; process group killed", "could not
//     start /bin/sh: <reason>", ...
//   - timeoutSeconds: > 0 limits the run to that many seconds; 0 uses
//     defaultTimeout() (whose 0 means none); < 0 means no limit whatever the
//     default. On expiry the whole process group gets SIGKILL and is reaped;
//     output still held open by a process that left the group is drained for
//     at most kDrainAfterKillMs, then abandoned. Without a limit the call
//     returns when both streams reached end-of-file and the shell exited.
//   - mergeErrors: true sends standard error into the output string,
//     interleaved as it arrives (like 2>&1); the error string then only
//     receives the failure text above.
//   - result: 0 success, 1..255 the shell's exit status (127: command not
//     found, as the shell reports it), or one of the codes below. A null
//     command gives kSpawnFailed. kCaptureFailed covers a pipe that could
//     not be made, a failing poll or read (the group is then killed), memory
//     running out (output and error are then emptied before the text is
//     set), and a shell status lost because the host ignores SIGCHLD or
//     reaps children itself.
//   Thread-safe: every call is independent; no file descriptor and no
//   zombie outlives a call.
//
// EvDebug writes one line per entry, in one write(2):
//   2026-01-31T12:00:00.123Z [tag] 0: message
// (UTC time with milliseconds, tag, level, message; a null tag prints as
// "-"; the line ends in one newline, whether or not the message ends with
// one). An entry is always one line, whatever the message holds: in the tag
// and the message a newline is written as \n, a tab as \t, any other control
// character (0x00-0x1f, 0x7f) as \xNN in lower-case hex, and a backslash as
// \\, so that line-oriented tools can read the log and the escaping can be
// undone unambiguously; other bytes are written as they are.
// Levels: debug -1, info 0 (Debug's entries), warning 1, error 2
// (logLevelNames()); DebugLvl's level is clamped into that range, so no
// entry has a level outside it. Entries go
// to the sink chosen with configureLog (default: Off, lowest level 0), or to
// the EvDebugFileInstance the log object was built with (see
// tmhost/EvDebugFileInstance.h); the lowest level applies to both. Debug and
// DebugLvl return the number of bytes written, 0 when the entry is not
// shown, -1 on failure.
//
// getPartitions(device, slices) appends one slice per partition of the disk
// image or block device at device: start and size in 512-byte sectors,
// partNo as the kernel numbers it (MBR: 1-4 primary and extended, 5 and up
// logical; GPT: the entry number), every other byte 0. As the kernel does,
// it leaves out entries whose size is 0 or less or that end beyond the
// device, and logs each (tag "getPartitions", level 0). Result: the number of
// slices appended (0 for a device without partition table), or a negative
// errno: -EINVAL for a null argument, -errno of open(2) (e.g. -ENOENT,
// -EACCES), -EISDIR for a directory, -ENOTBLK for anything else that is
// neither a regular file nor a block device, -EIO (or the reader's errno)
// when the table cannot be read. On failure the list is left untouched.
#ifndef TMHOST_TMHOST_H
#define TMHOST_TMHOST_H

#include <algorithm>
#include <span>
#include <string>

namespace tmhost {

// FXString::Split flags: drop the empty pieces that consecutive separators,
// or a separator at either end, would give.
inline constexpr unsigned kSplitSkipEmpty = 1u;

// Results of TmProcess::system other than 0 (success) and the shell's own
// exit status 1 to 255.
inline constexpr int kKilledBySignal = 256; // plus the signal that killed the shell
inline constexpr int kTimedOut = 512;       // the timeout expired; the process group was killed
inline constexpr int kSpawnFailed = 513;    // /bin/sh could not be started
inline constexpr int kCaptureFailed = 514;  // the output could not be captured

// How long output is still read after a timed-out process group was killed.
inline constexpr int kDrainAfterKillMs = 500;

// Timeout in seconds for runs whose own timeout argument is 0; 0: none.
// A negative value is stored as 0. Safe to call from any thread.
void setDefaultTimeout(int seconds);
int defaultTimeout();

// The levels of the log, lowest first; every entry has one of them.
inline constexpr int kLogDebug = -1;
inline constexpr int kLogInfo = 0;
inline constexpr int kLogWarning = 1;
inline constexpr int kLogError = 2;

struct LogLevelName {
    const char* name;
    int level;
};
// debug, info, warning, error, with their levels, lowest first. Inline, so
// that the library's interface stays as it is.
inline std::span<const LogLevelName> logLevelNames() {
    static constexpr LogLevelName names[] = {
        {"debug", kLogDebug}, {"info", kLogInfo}, {"warning", kLogWarning}, {"error", kLogError}};
    return names;
}
// The level an entry of DebugLvl(level) has: level clamped to kLogDebug..kLogError.
inline int clampLogLevel(int level) { return std::clamp(level, kLogDebug, kLogError); }

// Where EvDebug entries go, and the lowest level shown: an entry is written
// when its level is at least lowestLevel (Debug entries have level 0).
enum class LogSink { Off, StandardError, File };
// File: file is opened (created if need be, mode 0644) for append. On
// failure the result is false, *error (when non-null) says why, and the
// previous configuration stays in force. Safe to call while other threads
// log: entries in flight finish on the sink they started on.
bool configureLog(LogSink sink, int lowestLevel, const std::string& file = {}, std::string* error = nullptr);

} // namespace tmhost

#endif // TMHOST_TMHOST_H
