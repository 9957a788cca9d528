// SPDX-License-Identifier: Apache-2.0
#include "negotiate.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

namespace mpioctl {

std::string errorText(const char* errbuf) { return std::string(errbuf, strnlen(errbuf, MAXMPIOERRORLEN)); }

namespace {

enum class Step { Done, Retry };

struct Decision {
    Step step;
    Outcome outcome; // Done: how it ended
    int next;        // Retry: the capacity to offer next
    std::string problem;
};

Decision done(Outcome outcome, std::string problem = {}) { return {Step::Done, outcome, 0, std::move(problem)}; }
Decision retry(int next) { return {Step::Retry, Outcome::Complete, next, {}}; }

std::string offerText(int capacity, const char* unit) { return std::to_string(capacity) + " " + unit; }

// Calls attempt(capacity) until it is done, growing the capacity as it asks.
template <typename Attempt>
void negotiate(const Limits& limits, const char* unit, std::vector<int>& offered, Outcome& outcome,
               std::string& problem, Attempt attempt) {
    int capacity = std::max(limits.initialCapacity, 0);
    for (int calls = 0; calls < std::max(limits.maxCalls, 1); ++calls) {
        offered.push_back(capacity);
        Decision decision{};
        try {
            decision = attempt(capacity);
        } catch (const std::bad_alloc&) { // while copying the answer out of the array
            decision = done(Outcome::OutOfMemory,
                            "out of memory while reading the answer to an offer of " + offerText(capacity, unit));
        }
        if (decision.step == Step::Done) {
            outcome = decision.outcome;
            problem = std::move(decision.problem);
            return;
        }
        if (decision.next > limits.maxCapacity) {
            outcome = Outcome::TooLarge;
            problem = "the plug-in asked for " + offerText(decision.next, unit) + ", more than the limit of " +
                      std::to_string(limits.maxCapacity);
            return;
        }
        capacity = decision.next;
    }
    outcome = Outcome::Unsettled;
    problem = "the plug-in still asked for more " + std::string(unit) + " after " + std::to_string(offered.size()) +
              " calls (last offer " + offerText(offered.back(), unit) + ")";
}

struct FreeBlock {
    void operator()(void* block) const { std::free(block); }
};
template <typename T>
using Block = std::unique_ptr<T[], FreeBlock>;

std::size_t physicalMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return SIZE_MAX;
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(pageSize);
}

// count zeroed elements (at least one, so that the array is never a null
// pointer), or null when they exceed the machine's memory or cannot be had.
// calloc hands large blocks out as fresh zero pages, so only what the
// plug-in writes is ever touched.
template <typename T>
Block<T> zeroedArray(int count) {
    const std::size_t n = static_cast<std::size_t>(std::max(count, 1));
    if (n > physicalMemory() / sizeof(T)) return nullptr;
    return Block<T>(static_cast<T*>(std::calloc(n, sizeof(T))));
}

Decision outOfMemory(int capacity, std::size_t elementSize, const char* unit) {
    const std::size_t mebibytes =
        (static_cast<std::size_t>(std::max(capacity, 1)) * elementSize + (1u << 20) - 1) >> 20;
    return done(Outcome::OutOfMemory, "cannot allocate " + offerText(capacity, unit) + " (" +
                                          std::to_string(mebibytes) + " MiB): out of memory");
}

std::string brokenAnswer(int result, int count, int capacity, const char* unit) {
    return "the plug-in gave the inconsistent answer result " + std::to_string(result) + ", count " +
           std::to_string(count) + " to an offer of " + offerText(capacity, unit);
}

// One call with a fresh error out-parameter, kept as the negotiation's last
// answer. A negative result ends the negotiation as a failure.
template <typename Result, typename Call>
std::optional<Decision> callOnce(Result& out, int capacity, Call call) {
    int count = capacity;
    int err = 0;
    char errbuf[MAXMPIOERRORLEN] = {};
    out.last.result = call(&count, &err, errbuf);
    out.last.code = err;
    out.last.text = errorText(errbuf);
    out.lastCount = count;
    if (out.last.result < 0)
        return done(Outcome::Failed, "the plug-in reported a failure (result " + std::to_string(out.last.result) + ")");
    return std::nullopt;
}

} // namespace

PathListResult negotiatePathList(const PathListCall& call, const Limits& limits) {
    PathListResult out;
    constexpr const char* unit = "path buffers";
    negotiate(limits, unit, out.offered, out.outcome, out.problem, [&](int capacity) {
        const Block<char[MAXMPIOPATHLEN]> storage = zeroedArray<char[MAXMPIOPATHLEN]>(capacity);
        const Block<char*> buffers = storage ? zeroedArray<char*>(capacity) : nullptr;
        if (!buffers) return outOfMemory(capacity, MAXMPIOPATHLEN, unit);
        for (std::size_t i = 0; i < static_cast<std::size_t>(std::max(capacity, 1)); ++i) buffers[i] = storage[i];
        if (auto failed = callOnce(out, capacity, [&](int* count, int* err, char* errbuf) {
                return call(buffers.get(), count, err, errbuf);
            }))
            return *failed;
        const int result = out.last.result;
        const int count = out.lastCount;
        if (count < 0 || count > capacity || (result > 0 && result <= capacity))
            return done(Outcome::Inconsistent, brokenAnswer(result, count, capacity, unit));
        if (result > 0) return retry(result);
        out.paths.clear();
        out.paths.reserve(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i)
            out.paths.emplace_back(storage[i], strnlen(storage[i], MAXMPIOPATHLEN));
        return done(Outcome::Complete);
    });
    return out;
}

PartitionResult negotiatePartitions(const PartitionCall& call, const Limits& limits) {
    PartitionResult out;
    constexpr const char* unit = "partition records";
    negotiate(limits, unit, out.offered, out.outcome, out.problem, [&](int capacity) {
        const Block<TmPartInfo> records = zeroedArray<TmPartInfo>(capacity);
        if (!records) return outOfMemory(capacity, sizeof(TmPartInfo), unit);
        if (auto failed = callOnce(out, capacity, [&](int* count, int* err, char* errbuf) {
                return call(records.get(), count, err, errbuf);
            }))
            return *failed;
        const int result = out.last.result;
        const int count = out.lastCount;
        if (count != result) return done(Outcome::Inconsistent, brokenAnswer(result, count, capacity, unit));
        if (count > capacity) return retry(count);
        out.partitions.assign(records.get(), records.get() + count);
        return done(Outcome::Complete);
    });
    return out;
}

} // namespace mpioctl
