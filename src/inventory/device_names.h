// SPDX-License-Identifier: Apache-2.0
// Device-name normalisation: the /dev/ path of a pseudo device and the bare
// name that powermt's dev= argument takes.
#ifndef TMMPIO_INVENTORY_DEVICE_NAMES_H
#define TMMPIO_INVENTORY_DEVICE_NAMES_H

#include <string>
#include <string_view>

#include "plugin/plugin_internal.h"

namespace tmmpio {

// True when "emcpower" or "hdiskpower" occurs anywhere in the name.
TMMPIO_INTERNAL bool isPseudoDeviceName(std::string_view name);

// A pseudo-device name loses everything up to its last "/"; others stay whole.
TMMPIO_INTERNAL std::string stripDev(const std::string& name);

// The text before its last newline (the whole text when it has none).
TMMPIO_INTERNAL std::string removeNewLine(const std::string& text);

// A pseudo-device name becomes "/dev/" and its bare name; any other name
// only loses its last newline and what follows it.
TMMPIO_INTERNAL std::string prepareDevName(const std::string& name);

// The bare name powermt's dev= argument takes: stripDev, then removeNewLine.
TMMPIO_INTERNAL std::string bareDeviceName(const std::string& name);

// A name that may stand unquoted on a shell command line: not empty, not
// starting with "-", and made only of letters, digits, ".", "_", "-", "/".
TMMPIO_INTERNAL bool isPlainDeviceName(std::string_view name);

} // namespace tmmpio

#endif
