// Settings and result codes of the host stand-in, the library that provides
// the host services (TmHostServices.h) to a host program.
#ifndef TMHOST_TMHOST_H
#define TMHOST_TMHOST_H

#include <string>

namespace tmhost {

// FXString::Split flags: drop the empty pieces that consecutive separators,
// or a separator at either end, would give.
inline constexpr unsigned kSplitSkipEmpty = 1u;

} // namespace tmhost

#endif // TMHOST_TMHOST_H
