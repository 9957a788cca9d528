// SPDX-License-Identifier: Apache-2.0
#include "inventory/device_names.h"

#include "TmMPIO_EMCPowerPath.h"

namespace tmmpio {

bool isPseudoDeviceName(std::string_view name) {
    return name.find("emcpower") != std::string_view::npos || name.find("hdiskpower") != std::string_view::npos;
}

std::string stripDev(const std::string& name) {
    if (!isPseudoDeviceName(name)) return name;
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string removeNewLine(const std::string& text) {
    const std::size_t newline = text.rfind('\n');
    return newline == std::string::npos ? text : text.substr(0, newline);
}

std::string prepareDevName(const std::string& name) {
    // The directory part is cut before the newline, so a "/" after a newline
    // still counts as the last one.
    if (isPseudoDeviceName(name)) return mpio_prefix + removeNewLine(stripDev(name));
    return removeNewLine(name);
}

std::string bareDeviceName(const std::string& name) { return removeNewLine(stripDev(name)); }

bool isPlainDeviceName(std::string_view name) {
    if (name.empty() || name.front() == '-') return false;
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '_' || c == '-' || c == '/';
        if (!plain) return false;
    }
    return true;
}

} // namespace tmmpio
