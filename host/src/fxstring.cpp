// SPDX-License-Identifier: Apache-2.0
// FXString::Split: the pieces of a text between occurrences of a separator.
#include "TmHostServices.h"
#include "tmhost/TmHost.h"

int FXString::Split(const std::string& text, const std::string& separator, std::vector<std::string>& tokens,
                    unsigned flags) {
    tokens.clear();
    const bool skipEmpty = (flags & tmhost::kSplitSkipEmpty) != 0;
    auto add = [&](std::size_t from, std::size_t to) {
        if (!(skipEmpty && from == to)) tokens.emplace_back(text, from, to - from);
    };
    if (separator.empty()) {
        add(0, text.size());
        return static_cast<int>(tokens.size());
    }
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + separator.size())
        add(from, at);
    add(from, text.size());
    return static_cast<int>(tokens.size());
}
