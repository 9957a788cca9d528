// SPDX-License-Identifier: Apache-2.0
// The string splitter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TmHostServices.h"
#include "tmhost/TmHost.h"

namespace {

using Tokens = std::vector<std::string>;

TEST(SplitTest, Pieces) {
    struct Row {
        std::string text;
        std::string separator;
        unsigned flags;
        Tokens expected;
    };
    const unsigned skip = tmhost::kSplitSkipEmpty;
    const Row rows[] = {
        {"a b c", " ", 0, {"a", "b", "c"}},
        {"a  b", " ", 0, {"a", "", "b"}},
        {"a  b", " ", skip, {"a", "b"}},
        {" a ", " ", 0, {"", "a", ""}},
        {" a ", " ", skip, {"a"}},
        {"", " ", 0, {""}},
        {"", " ", skip, {}},
        {"   ", " ", skip, {}},
        {"x::y:z::", "::", 0, {"x", "y:z", ""}},
        {":::", "::", 0, {"", ":"}},
        {"abc", "", 0, {"abc"}},
        {"abc", "x", 0, {"abc"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("[" + r.text + "] by [" + r.separator + "] flags " + std::to_string(r.flags));
        Tokens tokens = {"left", "over"}; // the call replaces what was there
        EXPECT_EQ(FXString::Split(r.text, r.separator, tokens, r.flags),
                  static_cast<int>(r.expected.size()));
        EXPECT_EQ(tokens, r.expected);
    }
}

} // namespace
