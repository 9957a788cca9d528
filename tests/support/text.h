// SPDX-License-Identifier: Apache-2.0
// Small text utilities of the tests: a file's bytes, the lines of a text,
// whether one text holds another.
#ifndef TESTS_SUPPORT_TEXT_H
#define TESTS_SUPPORT_TEXT_H

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace mpiotest {

// The whole file; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

} // namespace mpiotest

#endif // TESTS_SUPPORT_TEXT_H
