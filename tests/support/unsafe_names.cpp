// SPDX-License-Identifier: Apache-2.0
#include "unsafe_names.h"

namespace mpiotest {
namespace {

// A row whose text the plug-in would put on the command line unchanged.
UnsafeName asGiven(const char* label, const std::string& text) { return {label, text, text}; }

} // namespace

const std::vector<UnsafeName>& unsafeNames() {
    static const std::vector<UnsafeName> names = {
        asGiven("Semicolon", "emcpowera;touch${IFS}PWNED"),
        {"DevPathSemicolon", "/dev/emcpowerc;touch${IFS}PWNED", "emcpowerc;touch${IFS}PWNED"},
        asGiven("CommandSubstitution", "emcpowera$(touch${IFS}PWNED)"),
        asGiven("LeadingSubstitution", "$(touch${IFS}PWNED)emcpowera"),
        asGiven("Backquotes", "emcpowera`touch${IFS}PWNED`"),
        {"DevPathBackquotes", "/dev/emcpower`touch${IFS}PWNED`", "emcpower`touch${IFS}PWNED`"},
        asGiven("AndList", "emcpowera && touch PWNED"),
        asGiven("OrList", "emcpowera || touch PWNED"),
        asGiven("Pipe", "emcpowera|touch${IFS}PWNED"),
        asGiven("Background", "emcpowera&touch${IFS}PWNED"),
        asGiven("Redirection", "emcpowera>PWNED"),
        asGiven("SingleQuotes", "emcpowera'$(touch${IFS}PWNED)'"),
        asGiven("DoubleQuotes", "emcpowera\"$(touch${IFS}PWNED)\""),
        {"Blank", "/dev/emcpower c", "emcpower c"},
        {"Tab", "/dev/emcpowera\ttouch PWNED", "emcpowera\ttouch PWNED"},
        // Only the last newline is cut.
        {"NewlineInside", "emcpowera\ntouch PWNED\n", "emcpowera\ntouch PWNED"},
        {"PercentSigns", "/dev/emcpowerc%s%s%n%x%%", "emcpowerc%s%s%n%x%%"},
        asGiven("PercentSignsPlain", "/dev/sd%s%n%p"),
        {"Glob", "/dev/emcpower*", "emcpower*"},
        asGiven("Backslash", "emcpowerc\\"),
        asGiven("Option", "-rf"),
        asGiven("LongOption", "--help"),
        {"OptionAfterSlash", "/dev/emcpower/--help", "--help"},
        asGiven("Empty", ""),
        {"NewlineOnly", "\n", ""},
        asGiven("Long", std::string(100000, 'q') + ";x"),
    };
    return names;
}

std::vector<UnsafeName> unsafeKernelNames() {
    std::vector<UnsafeName> rows;
    for (const UnsafeName& row : unsafeNames())
        if (row.bare.find("emcpower") != std::string::npos && row.bare.find_first_of(" \t\n/") == std::string::npos)
            rows.push_back(row);
    return rows;
}

} // namespace mpiotest
