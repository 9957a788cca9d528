// SPDX-License-Identifier: Apache-2.0
// The words of the topology format: lines split into words, numbers and the
// character classes of names.
#ifndef SIM_MACHINE_TOPOLOGY_LEXER_H
#define SIM_MACHINE_TOPOLOGY_LEXER_H

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::lex {

// Splits a line into words: blanks separate, double quotes group (with \" and
// \\ inside them), and a word that starts with # begins a comment. Throws
// TopologyError on an unterminated quote.
std::vector<std::string> tokenize(std::string_view line, const std::string& source, int lineNo);
// The same into `words`, whose strings it reuses: for a loop over many lines.
void tokenize(std::string_view line, const std::string& source, int lineNo, std::vector<std::string>& words);

// A whole decimal number of type T, or nothing.
template <typename T>
std::optional<T> parseNumber(std::string_view text) {
    T value{};
    if (text.empty()) return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool isAlnum(std::string_view text);      // one or more ASCII letters and digits
bool isPrintable(std::string_view text);  // no control character
// Words of letters, digits, '_', '-' and '.' separated by single blanks: an
// HBA driver (qla2xxx) or an adapter as PowerPath 4 shows it (QLogic Fibre
// Channel 2300).
bool isDriverName(std::string_view text);

} // namespace sim::lex

#endif
