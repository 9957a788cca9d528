// SPDX-License-Identifier: Apache-2.0
// The words of the topology format and of the state file: texts split into
// lines and lines into words, numbers, the word of an enumerator and the
// character classes of names.
#ifndef SIM_MACHINE_TOPOLOGY_LEXER_H
#define SIM_MACHINE_TOPOLOGY_LEXER_H

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::lex {

// Calls visit(line, number) for each line of text, without its newline,
// numbered from 1; nothing follows a newline at the very end.
template <typename Visit>
void forEachLine(std::string_view text, Visit&& visit) {
    int lineNo = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t nl = std::min(text.find('\n', pos), text.size());
        visit(text.substr(pos, nl - pos), ++lineNo);
        pos = nl + 1;
    }
}

// Splits a topology line into words: blanks separate, double quotes group
// (with \" and \\ inside them), and a word that starts with # begins a
// comment. Throws TopologyError on an unterminated quote.
std::vector<std::string> tokenize(std::string_view line, const std::string& source, int lineNo);
// The same into `words`, whose strings it reuses: for a loop over many lines.
void tokenize(std::string_view line, const std::string& source, int lineNo, std::vector<std::string>& words);

// Splits a line into the words that blanks separate, and nothing else: no
// quote groups and no comment. For the state file, whose free text (a
// fault's message) is taken as it stands by restAfterWords.
void splitWords(std::string_view line, std::vector<std::string>& words);

// The text of `line` after its first `count` plain words and the one blank
// after them; empty when there is none.
std::string_view restAfterWords(std::string_view line, std::size_t count);

// A whole decimal number of type T, or nothing.
template <typename T>
std::optional<T> parseNumber(std::string_view text) {
    T value{};
    if (text.empty()) return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The enumerator whose word, in the order of the enumeration, `word` is
// (kPathModeWords and the like).
template <typename E, std::size_t N>
std::optional<E> choice(std::string_view word, const char* const (&words)[N]) {
    for (std::size_t i = 0; i < N; ++i)
        if (word == words[i]) return static_cast<E>(i);
    return std::nullopt;
}

bool isAlnum(std::string_view text);     // one or more ASCII letters and digits
bool isPrintable(std::string_view text); // no control character
// Words of letters, digits, '_', '-' and '.' separated by single blanks: an
// HBA driver (qla2xxx) or an adapter as PowerPath 4 shows it (QLogic Fibre
// Channel 2300).
bool isDriverName(std::string_view text);

} // namespace sim::lex

#endif
