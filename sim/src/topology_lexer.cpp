#include "topology_lexer.h"

#include "topology.h"

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

} // namespace

std::vector<std::string> tokenize(std::string_view line, const std::string& source, int lineNo) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i])) ++i;
        if (i >= line.size() || line[i] == '#') break;
        std::string word;
        while (i < line.size() && !isBlank(line[i])) {
            if (line[i] != '"') word.push_back(line[i++]);
            else if (!quoted(line, ++i, word)) throw TopologyError(source, lineNo, "unterminated quote");
        }
        words.push_back(std::move(word));
    }
    return words;
}

bool isAlnum(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), isAlnumChar); }

bool isPrintable(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7f; });
}

bool isDriverName(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return isAlnumChar(c) || c == '_' || c == '-' || c == '.';
    });
}

} // namespace lex

std::uint64_t parseSize(std::string_view text) {
    const std::uint64_t suffix = text.empty() ? 0 : lex::suffixMultiplier(text.back());
    const std::string_view digits = suffix ? text.substr(0, text.size() - 1) : text;
    const std::uint64_t multiplier = suffix ? suffix : 1024;
    const auto value = lex::parseNumber<std::uint64_t>(digits);
    if (!value) throw std::invalid_argument("'" + std::string(text) + "' is not a size (NUMBER with K, M, G or T, or a number of KiB)");
    if (*value > (1ULL << 50) / multiplier) throw std::invalid_argument("'" + std::string(text) + "' is too large");
    return *value * multiplier;
}

} // namespace sim
