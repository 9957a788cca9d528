// SPDX-License-Identifier: Apache-2.0
// The one table of device names that must never reach a shell. Device names
// go into powermt command lines unquoted, so the plug-in refuses any name
// that is not a plain one; most of these would make a shell create the file
// PWNED in its working directory, the others would be read as an option,
// expand, or split into words. The plug-in's unit, reliability and
// integration tests all take their unsafe names from here.
#ifndef TESTS_SUPPORT_UNSAFE_NAMES_H
#define TESTS_SUPPORT_UNSAFE_NAMES_H

#include <string>
#include <vector>

namespace mpiotest {

struct UnsafeName {
    const char* label;
    std::string text; // as a caller hands it to an entry point
    // The name the plug-in would put after "dev=": text without "/dev/" (or
    // another directory of a pseudo-device name) and without its last newline.
    std::string bare;
};

const std::vector<UnsafeName>& unsafeNames();

// The rows whose bare name a kernel partition table could list for a pseudo
// device: an emcpower name without a blank, a newline or a slash.
std::vector<UnsafeName> unsafeKernelNames();

} // namespace mpiotest

#endif // TESTS_SUPPORT_UNSAFE_NAMES_H
