// SPDX-License-Identifier: Apache-2.0
// The debug log: sinks, levels, entry format, long entries, threads.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <new>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TmHostServices.h"
#include "temp_dir.h"
#include "text.h"
#include "tmhost/EvDebugFileInstance.h"
#include "tmhost/TmHost.h"

namespace {

using namespace mpiotest;

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tmhost::configureLog(tmhost::LogSink::File, 0, path)); }
    void TearDown() override { tmhost::configureLog(tmhost::LogSink::Off, 0); }
    std::string logged() const { return readFile(path); }

    TempDir dir;
    const std::string path = dir / "host.log";
};

TEST_F(LogTest, EntryIsOneLineWithUtcTimeTagLevelAndMessage) {
    errno = ENOENT;
    const int written = EvDebug(nullptr).Debug("init", "admin major %d", 251);
    EXPECT_EQ(errno, ENOENT) << "logging changed errno";
    const std::string text = logged();
    EXPECT_EQ(written, static_cast<int>(text.size()));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        text, m,
        std::regex(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\.\d{3}Z \[init\] 0: admin major 251\n)")))
        << text;
    std::tm t{};
    ASSERT_NE(::strptime(m[1].str().c_str(), "%Y-%m-%dT%H:%M:%S", &t), nullptr);
    EXPECT_LT(std::abs(std::difftime(::timegm(&t), std::time(nullptr))), 5.0) << "not UTC now";
}

TEST_F(LogTest, MessageTextIsKeptExactly) {
    struct Row {
        std::string expected;
        int written;
    };
    EvDebug log(nullptr);
    const Row rows[] = {
        {"[t] 2: 50% %s %n|7%", log.DebugLvl("t", 2, "%s|%d%%", "50% %s %n", 7)},
        {"[t] 0: ends in newline", log.Debug("t", "ends in newline\n")},
        {"[-] 0: null tag", log.Debug(nullptr, "null tag")},
        // One entry, one line: control characters and backslashes escaped.
        {R"([t] 0: a\nb\tc\x01\x1b\x7f\\n é)", log.Debug("t", "a\nb\tc\x01\x1b\x7f\\n é")},
        {R"([t] 0: two\n)", log.Debug("t", "%s", "two\n\n")},
        {R"([x\ny] 0: tag)", log.Debug("x\ny", "tag")},
    };
    const auto got = lines(logged());
    ASSERT_EQ(got.size(), std::size(rows)) << logged();
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].substr(25), rows[i].expected);
        EXPECT_EQ(rows[i].written, static_cast<int>(got[i].size() + 1));
    }
}

TEST_F(LogTest, LongMessageIsKeptWhole) {
    std::string message;
    for (int i = 0; message.size() < 100 * 1024; ++i) message += std::to_string(i) + ',';
    const int written = EvDebug(nullptr).Debug("long", "<%s>", message.c_str());
    const std::string text = logged();
    EXPECT_EQ(written, static_cast<int>(text.size()));
    EXPECT_EQ(text.substr(25), "[long] 0: <" + message + ">\n");
}

TEST_F(LogTest, LevelsBelowTheLowestAreDropped) {
    struct Row {
        int lowest;
        std::optional<int> level; // none: Debug
        bool shown;
    };
    const Row rows[] = {
        {0, std::nullopt, true}, {0, -1, false}, {0, 3, true},     {-1, -1, true},
        {-1, -2, true},          {1, std::nullopt, false}, {1, 1, true},
        // Levels are clamped to debug..error: below debug is debug, above error is error.
        {2, 7, true},            {-1, INT_MIN, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("lowest " + std::to_string(r.lowest) + " level " +
                     (r.level ? std::to_string(*r.level) : "Debug"));
        ASSERT_TRUE(tmhost::configureLog(tmhost::LogSink::File, r.lowest, path));
        const std::size_t before = logged().size();
        EvDebug log(nullptr);
        const int written = r.level ? log.DebugLvl("lvl", *r.level, "x") : log.Debug("lvl", "x");
        EXPECT_EQ(logged().size() > before, r.shown);
        EXPECT_EQ(written > 0, r.shown);
    }
}

TEST_F(LogTest, SinksOffAndStandardError) {
    EvDebug(nullptr).Debug("sink", "to the file");
    ASSERT_TRUE(tmhost::configureLog(tmhost::LogSink::Off, -100));
    EXPECT_EQ(EvDebug(nullptr).Debug("sink", "nowhere"), 0);

    const std::string errPath = dir / "stderr";
    const int saved = ::dup(STDERR_FILENO);
    std::FILE* capture = std::fopen(errPath.c_str(), "w");
    ::dup2(::fileno(capture), STDERR_FILENO);
    ASSERT_TRUE(tmhost::configureLog(tmhost::LogSink::StandardError, 0));
    const int written = EvDebug(nullptr).Debug("sink", "to stderr");
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::fclose(capture);

    const auto file = lines(logged());
    ASSERT_EQ(file.size(), 1u);
    EXPECT_EQ(file[0].substr(25), "[sink] 0: to the file");
    const std::string err = readFile(errPath);
    EXPECT_EQ(err.substr(std::min<std::size_t>(25, err.size())), "[sink] 0: to stderr\n");
    EXPECT_EQ(written, static_cast<int>(err.size()));
}

TEST_F(LogTest, UnopenableFileIsReportedAndKeepsTheOldSink) {
    for (const std::string& bad : {dir / "no/such/dir.log", std::string()}) {
        std::string error;
        EXPECT_FALSE(tmhost::configureLog(tmhost::LogSink::File, 0, bad, &error));
        EXPECT_FALSE(error.empty());
        if (!bad.empty()) {
            EXPECT_NE(error.find(bad), std::string::npos) << error;
        }
    }
    EvDebug(nullptr).Debug("still", "here");
    EXPECT_EQ(lines(logged()).size(), 1u);
}

TEST_F(LogTest, FileInstanceTakesPrecedenceAndEndsWithItsObject) {
    ASSERT_TRUE(tmhost::configureLog(tmhost::LogSink::Off, 0));
    EvDebugFileInstance own(dir / "own.log");
    ASSERT_TRUE(own.isOpen()) << own.error();
    EXPECT_GT(EvDebug(&own).Debug("own", "entry"), 0);

    // A new object at the same address, without an instance, must not
    // inherit the old object's file.
    alignas(EvDebug) unsigned char storage[sizeof(EvDebug)];
    (new (storage) EvDebug(&own))->~EvDebug();
    EvDebug* reused = new (storage) EvDebug(nullptr);
    EXPECT_EQ(reused->Debug("own", "dropped"), 0);
    reused->~EvDebug();

    const auto got = lines(readFile(own.path()));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].substr(25), "[own] 0: entry");

    EvDebugFileInstance broken(dir / "missing/own.log");
    EXPECT_FALSE(broken.isOpen());
    EXPECT_FALSE(broken.error().empty());
    EXPECT_EQ(EvDebug(&broken).Debug("own", "lost"), -1);
}

TEST_F(LogTest, ConcurrentEntriesDoNotInterleave) {
    constexpr int kThreads = 8, kEntries = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            const std::string payload(3000 + 100 * t, static_cast<char>('a' + t));
            for (int i = 0; i < kEntries; ++i)
                EvDebug(nullptr).Debug("mt", "%d %d %s.", t, i, payload.c_str());
        });
    for (std::thread& th : threads) th.join();

    const auto got = lines(logged());
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kThreads * kEntries));
    std::vector<int> perThread(kThreads);
    const std::regex entry(R"(\S+ \[mt\] 0: (\d) (\d+) ([a-h]+)\.)");
    for (const std::string& line : got) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, entry)) << line.substr(0, 80);
        const int t = std::stoi(m[1]);
        EXPECT_EQ(m[3].str(), std::string(3000 + 100 * t, static_cast<char>('a' + t)));
        ++perThread[t];
    }
    for (int n : perThread) EXPECT_EQ(n, kEntries);
}

} // namespace
