// SPDX-License-Identifier: Apache-2.0
// Capacity negotiation against scripted entry points.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "negotiate.h"

namespace mpioctl {
namespace {

std::vector<std::string> names(int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back("/dev/sd" + std::string(1, static_cast<char>('a' + i)));
    return out;
}

bool cleared(const int* err, const char* errbuf) {
    for (int i = 0; i < MAXMPIOERRORLEN; ++i)
        if (errbuf[i] != '\0') return false;
    return *err == 0;
}

// A path list entry point that has `total` paths, fills what fits, and
// returns `asks[i]` on call i while any are left, then 0. It dirties err and
// errbuf on every call and records whether they came in cleared.
struct ScriptedPaths {
    int total;
    std::vector<int> asks;
    std::vector<bool> clearOnEntry;

    int operator()(char** buffers, int* count, int* err, char* errbuf) {
        clearOnEntry.push_back(cleared(err, errbuf));
        const std::size_t call = clearOnEntry.size() - 1;
        const std::vector<std::string> all = names(total);
        int stored = 0;
        for (; stored < *count && stored < total; ++stored)
            std::strcpy(buffers[stored], all[static_cast<std::size_t>(stored)].c_str());
        *count = stored;
        if (call < asks.size()) {
            *err = 7;
            std::strcpy(errbuf, "left over");
            return asks[call];
        }
        return 0;
    }
};

TEST(NegotiatePathList, GrowsToWhatThePluginAsksFor) {
    ScriptedPaths plugin{12, {9, 12}, {}};
    const PathListResult r = negotiatePathList(std::ref(plugin));
    EXPECT_EQ(r.outcome, Outcome::Complete) << r.problem;
    EXPECT_EQ(r.offered, (std::vector<int>{4, 9, 12}));
    EXPECT_EQ(r.paths, names(12));
    EXPECT_EQ(plugin.clearOnEntry, (std::vector<bool>{true, true, true}));
    EXPECT_FALSE(r.last.errorWritten());
    EXPECT_TRUE(r.problem.empty());
}

TEST(NegotiatePathList, SegmentCountOneAboveCapacityIsAnsweredWithTheLargerArray) {
    // getMPIODevices counts N + 1 segments for N names ending in a newline.
    ScriptedPaths plugin{4, {5}, {}};
    const PathListResult r = negotiatePathList(std::ref(plugin));
    EXPECT_EQ(r.outcome, Outcome::Complete);
    EXPECT_EQ(r.offered, (std::vector<int>{4, 5}));
    EXPECT_EQ(r.paths, names(4));
}

TEST(NegotiatePathList, FailureStopsWithTheErrorOfThatCall) {
    int calls = 0;
    const PathListResult r = negotiatePathList([&](char**, int* count, int* err, char* errbuf) {
        ++calls;
        *count = 99; // untrusted on failure
        *err = 2;
        std::strcpy(errbuf, "powermt: not found");
        return -2;
    });
    EXPECT_EQ(r.outcome, Outcome::Failed);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(r.last.result, -2);
    EXPECT_EQ(r.last.code, 2);
    EXPECT_EQ(r.last.text, "powermt: not found");
    EXPECT_TRUE(r.paths.empty());
}

TEST(NegotiatePathList, GivesUpOnAnAnswerThatKeepsGrowing) {
    const Limits limits{4, 5, 1000};
    const PathListResult r = negotiatePathList(
        [](char**, int* count, int*, char*) { return *count + 1; }, limits);
    EXPECT_EQ(r.outcome, Outcome::Unsettled);
    EXPECT_EQ(r.offered, (std::vector<int>{4, 5, 6, 7, 8}));
    EXPECT_NE(r.problem.find("after 5 calls"), std::string::npos) << r.problem;
}

TEST(NegotiatePathList, RefusesToOfferMoreThanTheLimit) {
    const PathListResult r =
        negotiatePathList([](char**, int*, int*, char*) { return 1 << 30; }, Limits{4, 8, 100});
    EXPECT_EQ(r.outcome, Outcome::TooLarge);
    EXPECT_EQ(r.offered, (std::vector<int>{4}));
    EXPECT_NE(r.problem.find("1073741824"), std::string::npos) << r.problem;
}

TEST(NegotiatePathList, OffersUpToAMillionBuffersByDefault) {
    const struct {
        int ask;
        Outcome outcome;
    } cases[] = {{1048576, Outcome::Complete}, {1048577, Outcome::TooLarge}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ask);
        const PathListResult r = negotiatePathList([&](char**, int* count, int*, char*) {
            const int asked = *count < c.ask ? c.ask : 0;
            *count = 0;
            return asked;
        });
        EXPECT_EQ(r.outcome, c.outcome) << r.problem;
        EXPECT_EQ(r.offered.back(), c.outcome == Outcome::Complete ? c.ask : 4);
    }
}

TEST(Negotiate, ArraysThatMemoryCannotHoldAreReportedNotAllocated) {
    const Limits unbounded{4, 8, INT_MAX};
    const PathListResult paths =
        negotiatePathList([](char**, int*, int*, char*) { return INT_MAX; }, unbounded);
    EXPECT_EQ(paths.outcome, Outcome::OutOfMemory);
    EXPECT_EQ(paths.offered, (std::vector<int>{4, INT_MAX}));
    EXPECT_EQ(paths.problem,
              "cannot allocate 2147483647 path buffers (2097152 MiB): out of memory");

    const PartitionResult parts = negotiatePartitions(
        [](TmPartInfo*, int* count, int*, char*) { return *count = INT_MAX; }, unbounded);
    EXPECT_EQ(parts.outcome, Outcome::OutOfMemory);
    EXPECT_EQ(parts.offered, (std::vector<int>{4, INT_MAX}));
    EXPECT_NE(parts.problem.find("cannot allocate 2147483647 partition records ("),
              std::string::npos)
        << parts.problem;
}

TEST(NegotiatePathList, AnswersAgainstTheConventionsAreInconsistent) {
    const struct {
        int result;
        int count;
    } cases[] = {{3, 4}, {4, 4}, {0, 5}, {0, -1}, {9, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "result " << c.result << " count " << c.count);
        const PathListResult r = negotiatePathList([&](char**, int* count, int*, char*) {
            *count = c.count;
            return c.result;
        });
        EXPECT_EQ(r.outcome, Outcome::Inconsistent);
        EXPECT_EQ(r.offered.size(), 1u);
        EXPECT_TRUE(r.paths.empty());
    }
}

TEST(NegotiatePathList, ReadsUnterminatedBuffersOnlyToTheirEnd) {
    const PathListResult r = negotiatePathList([](char** buffers, int* count, int*, char* errbuf) {
        std::memset(buffers[0], 'x', MAXMPIOPATHLEN);
        std::memset(errbuf, 'e', MAXMPIOERRORLEN);
        *count = 1;
        return 0;
    });
    ASSERT_EQ(r.paths.size(), 1u);
    EXPECT_EQ(r.paths[0], std::string(MAXMPIOPATHLEN, 'x'));
    EXPECT_EQ(r.last.text, std::string(MAXMPIOERRORLEN, 'e'));
}

TEST(NegotiatePathList, NeverPassesANullArray) {
    bool sawArray = false;
    negotiatePathList(
        [&](char** buffers, int* count, int*, char*) {
            sawArray = buffers != nullptr && buffers[0] != nullptr && *count == 0;
            return 0;
        },
        Limits{0, 8, 100});
    EXPECT_TRUE(sawArray);
}

// A partition reader with `total` partitions that fills what fits.
int partitionsOf(int total, TmPartInfo* parts, int* count) {
    for (int i = 0; i < total && i < *count; ++i) {
        parts[i] = TmPartInfo{};
        std::snprintf(parts[i].name, sizeof parts[i].name, "/dev/emcpowera%d", i + 1);
        parts[i].partNo = i + 1;
    }
    *count = total;
    return total;
}

TEST(NegotiatePartitions, RetriesWhenTheCountExceedsTheCapacity) {
    std::vector<bool> clearOnEntry;
    const PartitionResult r = negotiatePartitions([&](TmPartInfo* parts, int* count, int* err,
                                                      char* errbuf) {
        clearOnEntry.push_back(cleared(err, errbuf));
        *err = 3; // stray, as isPartitionDevice inside may leave one
        return partitionsOf(6, parts, count);
    });
    EXPECT_EQ(r.outcome, Outcome::Complete) << r.problem;
    EXPECT_EQ(r.offered, (std::vector<int>{4, 6}));
    ASSERT_EQ(r.partitions.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(r.partitions[static_cast<std::size_t>(i)].partNo, i + 1);
    EXPECT_STREQ(r.partitions[5].name, "/dev/emcpowera6");
    EXPECT_EQ(clearOnEntry, (std::vector<bool>{true, true}));
    EXPECT_EQ(r.last.code, 3);
}

TEST(NegotiatePartitions, ReaderFailureAndBrokenAnswers) {
    const struct {
        int result;
        int count;
        Outcome outcome;
    } cases[] = {{-1, 0, Outcome::Failed}, {-5, 0, Outcome::Failed},
                 {3, 2, Outcome::Inconsistent}, {0, -2, Outcome::Inconsistent}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "result " << c.result << " count " << c.count);
        const PartitionResult r = negotiatePartitions([&](TmPartInfo*, int* count, int* err,
                                                          char* errbuf) {
            *count = c.count;
            if (c.result < 0) {
                *err = c.result;
                std::strcpy(errbuf, "/dev/sdb");
            }
            return c.result;
        });
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.offered.size(), 1u);
        if (c.outcome == Outcome::Failed) {
            EXPECT_EQ(r.last.code, c.result);
            EXPECT_EQ(r.last.text, "/dev/sdb");
        }
    }
}

} // namespace
} // namespace mpioctl
