// SPDX-License-Identifier: Apache-2.0
// Descriptor and time helpers that spawning and running share.
#ifndef MPIO_PROCESS_SPAWN_INTERNAL_H
#define MPIO_PROCESS_SPAWN_INTERNAL_H

#include <cstddef>
#include <string_view>

#include "mpio/process.h"

#pragma GCC visibility push(hidden)

namespace mpio::process {

// Non-blocking, so that a wake-up without room or data never blocks a loop.
void makeNonBlocking(const Fd& fd);

// Writes as much of text to the non-blocking fd as it takes now. Result: the
// bytes written; error receives 0, or the errno value that stopped it (not
// EAGAIN).
std::size_t writeSome(const Fd& fd, std::string_view text, int& error);

// A poll timeout in milliseconds that is never shorter than left.
int pollTimeout(Clock::duration left);

} // namespace mpio::process

#pragma GCC visibility pop

#endif
