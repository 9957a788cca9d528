// Helpers of the simulator's tests: temporary directories, running the
// built programs, and small text utilities.
#ifndef TESTS_SIM_SIM_TEST_UTIL_H
#define TESTS_SIM_SIM_TEST_UTIL_H

#include "subprocess.h"
#include "treeremoval.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace simtest {

class TempDir {
public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "simtest.XXXXXX").string();
        if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    // Whatever a test mounted inside is detached, never emptied.
    ~TempDir() { sim::removeTemporaryTree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Runs /bin/sh -c SCRIPT with extra environment settings before it.
inline sim::RunResult shell(const std::string& script, const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {"env"};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.insert(argv.end(), {"/bin/sh", "-c", script});
    return sim::runProgram(argv, "", 120000);
}

} // namespace simtest

#endif
