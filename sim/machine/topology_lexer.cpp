// SPDX-License-Identifier: Apache-2.0
#include "machine/topology_lexer.h"

#include "machine/topology.h"

#include <algorithm>

namespace sim {
namespace lex {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// What a size's last character multiplies by; 0 when it is no suffix.
std::uint64_t suffixMultiplier(char c) {
    switch (c) {
    case 'K': return 1ULL << 10;
    case 'M': return 1ULL << 20;
    case 'G': return 1ULL << 30;
    case 'T': return 1ULL << 40;
    default: return 0;
    }
}

bool isAlnumChar(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The rest of a quoted part from just past its opening quote, appended to
// `word`; false when the line ends before the closing quote.
bool quoted(std::string_view line, std::size_t& i, std::string& word) {
    while (i < line.size()) {
        const char c = line[i++];
        if (c == '"') return true;
        if (c == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
            word.push_back(line[i++]);
            continue;
        }
        word.push_back(c);
    }
    return false;
}

// The end of the run of plain characters (neither blank nor quote) from `i`.
std::size_t plainEnd(std::string_view line, std::size_t i) {
    while (i < line.size() && !isBlank(line[i]) && line[i] != '"') ++i;
    return i;
}

std::size_t skipBlanks(std::string_view line, std::size_t i) {
    while (i < line.size() && isBlank(line[i])) ++i;
    return i;
}

std::size_t wordEnd(std::string_view line, std::size_t i) {
    while (i < line.size() && !isBlank(line[i])) ++i;
    return i;
}

// The next string of `words` to fill, the `count`th: the strings are
// reused, so that a caller splitting line after line into one vector
// allocates only for a longer word.
std::string& nextWord(std::vector<std::string>& words, std::size_t& count) {
    if (count == words.size()) words.emplace_back();
    std::string& word = words[count++];
    word.clear();
    return word;
}

} // namespace

void tokenize(std::string_view line, const std::string& source, int lineNo, std::vector<std::string>& words) {
    std::size_t count = 0;
    for (std::size_t i = skipBlanks(line, 0); i < line.size() && line[i] != '#'; i = skipBlanks(line, i)) {
        std::string& word = nextWord(words, count);
        while (i < line.size() && !isBlank(line[i])) {
            if (line[i] != '"') {
                const std::size_t end = plainEnd(line, i);
                word.append(line.substr(i, end - i));
                i = end;
            } else if (!quoted(line, ++i, word)) {
                words.resize(count);
                throw TopologyError(source, lineNo, "unterminated quote");
            }
        }
    }
    words.resize(count);
}

std::vector<std::string> tokenize(std::string_view line, const std::string& source, int lineNo) {
    std::vector<std::string> words;
    tokenize(line, source, lineNo, words);
    return words;
}

void splitWords(std::string_view line, std::vector<std::string>& words) {
    std::size_t count = 0;
    for (std::size_t i = skipBlanks(line, 0); i < line.size(); i = skipBlanks(line, i)) {
        const std::size_t end = wordEnd(line, i);
        nextWord(words, count).append(line.substr(i, end - i));
        i = end;
    }
    words.resize(count);
}

std::string_view restAfterWords(std::string_view line, std::size_t count) {
    std::size_t i = 0;
    for (std::size_t n = 0; n < count; ++n) i = wordEnd(line, skipBlanks(line, i));
    return i < line.size() ? line.substr(i + 1) : std::string_view();
}

bool isAlnum(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), isAlnumChar); }

bool isPrintable(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7f; });
}

bool isDriverName(std::string_view text) {
    if (text.empty() || text.front() == ' ' || text.back() == ' ' || text.find("  ") != std::string_view::npos)
        return false;
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return isAlnumChar(c) || c == '_' || c == '-' || c == '.' || c == ' '; });
}

} // namespace lex

std::uint64_t parseSize(std::string_view text) {
    const std::uint64_t suffix = text.empty() ? 0 : lex::suffixMultiplier(text.back());
    const std::string_view digits = suffix ? text.substr(0, text.size() - 1) : text;
    const std::uint64_t multiplier = suffix ? suffix : 1024;
    const auto value = lex::parseNumber<std::uint64_t>(digits);
    if (!value)
        throw std::invalid_argument("'" + std::string(text) +
                                    "' is not a size (NUMBER with K, M, G or T, or a number of KiB)");
    if (*value > (1ULL << 50) / multiplier) throw std::invalid_argument("'" + std::string(text) + "' is too large");
    return *value * multiplier;
}

} // namespace sim
