// SPDX-License-Identifier: Apache-2.0
// A library that needs a C library symbol newer than the plug-in's floor
// (getentropy@GLIBC_2.25): the floor check must name it and fail.
#include <unistd.h>

extern "C" int floorProbe(void* buffer) {
    return getentropy(buffer, 16);
}
