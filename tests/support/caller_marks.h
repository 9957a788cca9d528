// The open-descriptor count under its former name, for the host's tests.
#ifndef TESTS_SUPPORT_CALLER_MARKS_H
#define TESTS_SUPPORT_CALLER_MARKS_H

#include "caller_kit.h"

namespace callermarks {
using kit::openDescriptors;
} // namespace callermarks

#endif // TESTS_SUPPORT_CALLER_MARKS_H
