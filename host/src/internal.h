// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the host stand-in's sources.
#ifndef TMHOST_SRC_INTERNAL_H
#define TMHOST_SRC_INTERNAL_H

#include <string>

#include "mpio/process.h"

// Not exported from the library.
#pragma GCC visibility push(hidden)

namespace tmhost::detail {

// The description of an errno value ("No such file or directory") or of a
// signal ("Killed"), or "error N" / "signal N" for an unknown one.
// Thread-safe.
using mpio::process::errnoText;
using mpio::process::signalText;

// An owned file descriptor, closed on destruction.
using mpio::process::Fd;

} // namespace tmhost::detail

#pragma GCC visibility pop

#endif // TMHOST_SRC_INTERNAL_H
