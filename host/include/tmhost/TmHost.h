// Settings and result codes of the host stand-in, the library that provides
// the host services (TmHostServices.h) to a host program.
#ifndef TMHOST_TMHOST_H
#define TMHOST_TMHOST_H

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

// Timeout in seconds for runs whose own timeout argument is 0; 0: none.
void setDefaultTimeout(int seconds);
int defaultTimeout();

// Where EvDebug entries go, and the lowest level shown: an entry is written
// when its level is at least lowestLevel (Debug entries have level 0).
enum class LogSink { Off, StandardError, File };
bool configureLog(LogSink sink, int lowestLevel, const std::string& file = {},
                  std::string* error = nullptr);

} // namespace tmhost

#endif // TMHOST_TMHOST_H
