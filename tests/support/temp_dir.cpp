// SPDX-License-Identifier: Apache-2.0
#include "temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

#include "mpio/tree_removal.h"

namespace mpiotest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mpio-test.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() { mpio::tree::removeTemporaryTree(path_); }

} // namespace mpiotest
