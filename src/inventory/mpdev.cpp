// SPDX-License-Identifier: Apache-2.0
// Ordering and equality of device-number keys; signed comparisons.
#include "TmMPIO_EMCPowerPath.h"

bool operator<(MpDev a, MpDev b) { return a.major < b.major || (a.major == b.major && a.minor < b.minor); }

bool operator==(MpDev a, MpDev b) { return a.major == b.major && a.minor == b.minor; }

bool operator!=(MpDev a, MpDev b) { return !(a == b); }
