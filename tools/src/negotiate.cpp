#include "negotiate.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace mpioctl {

std::string errorText(const char* errbuf) {
    return std::string(errbuf, strnlen(errbuf, MAXMPIOERRORLEN));
}

namespace {

enum class Step { Done, Retry };

struct Decision {
    Step step;
    Outcome outcome; // Done: how it ended
    int next;        // Retry: the capacity to offer next
    std::string problem;
};

Decision done(Outcome outcome, std::string problem = {}) {
    return {Step::Done, outcome, 0, std::move(problem)};
}
Decision retry(int next) { return {Step::Retry, Outcome::Complete, next, {}}; }

std::string offerText(int capacity, const char* unit) {
    return std::to_string(capacity) + " " + unit;
}

// Calls attempt(capacity) until it is done, growing the capacity as it asks.
template <typename Attempt>
void negotiate(const Limits& limits, const char* unit, std::vector<int>& offered,
               Outcome& outcome, std::string& problem, Attempt attempt) {
    int capacity = std::max(limits.initialCapacity, 0);
    for (int calls = 0; calls < std::max(limits.maxCalls, 1); ++calls) {
        offered.push_back(capacity);
        Decision decision = attempt(capacity);
        if (decision.step == Step::Done) {
            outcome = decision.outcome;
            problem = std::move(decision.problem);
            return;
        }
        if (decision.next > limits.maxCapacity) {
            outcome = Outcome::TooLarge;
            problem = "the plug-in asked for " + offerText(decision.next, unit) +
                      ", more than the limit of " + std::to_string(limits.maxCapacity);
            return;
        }
        capacity = decision.next;
    }
    outcome = Outcome::Unsettled;
    problem = "the plug-in still asked for more " + std::string(unit) + " after " +
              std::to_string(offered.size()) + " calls (last offer " +
              offerText(offered.back(), unit) + ")";
}

std::string brokenAnswer(int result, int count, int capacity, const char* unit) {
    return "the plug-in gave the inconsistent answer result " + std::to_string(result) +
           ", count " + std::to_string(count) + " to an offer of " + offerText(capacity, unit);
}

} // namespace

PathListResult negotiatePathList(const PathListCall& call, const Limits& limits) {
    PathListResult out;
    constexpr const char* unit = "path buffers";
    negotiate(limits, unit, out.offered, out.outcome, out.problem, [&](int capacity) {
        // At least one buffer, so that the array is never a null pointer.
        std::vector<std::array<char, MAXMPIOPATHLEN>> storage(
            static_cast<std::size_t>(std::max(capacity, 1)));
        std::vector<char*> buffers;
        for (auto& buffer : storage) {
            buffer.fill('\0');
            buffers.push_back(buffer.data());
        }
        int count = capacity;
        int err = 0;
        char errbuf[MAXMPIOERRORLEN] = {};
        out.last.result = call(buffers.data(), &count, &err, errbuf);
        out.last.code = err;
        out.last.text = errorText(errbuf);
        out.lastCount = count;
        const int result = out.last.result;
        if (result < 0)
            return done(Outcome::Failed,
                        "the plug-in reported a failure (result " + std::to_string(result) + ")");
        if (count < 0 || count > capacity || (result > 0 && result <= capacity))
            return done(Outcome::Inconsistent, brokenAnswer(result, count, capacity, unit));
        if (result > 0) return retry(result);
        out.paths.clear();
        for (int i = 0; i < count; ++i)
            out.paths.emplace_back(buffers[static_cast<std::size_t>(i)],
                                   strnlen(buffers[static_cast<std::size_t>(i)], MAXMPIOPATHLEN));
        return done(Outcome::Complete);
    });
    return out;
}

PartitionResult negotiatePartitions(const PartitionCall& call, const Limits& limits) {
    PartitionResult out;
    constexpr const char* unit = "partition records";
    negotiate(limits, unit, out.offered, out.outcome, out.problem, [&](int capacity) {
        std::vector<TmPartInfo> records(static_cast<std::size_t>(std::max(capacity, 1)),
                                        TmPartInfo{});
        int count = capacity;
        int err = 0;
        char errbuf[MAXMPIOERRORLEN] = {};
        out.last.result = call(records.data(), &count, &err, errbuf);
        out.last.code = err;
        out.last.text = errorText(errbuf);
        out.lastCount = count;
        const int result = out.last.result;
        if (result < 0)
            return done(Outcome::Failed,
                        "the plug-in reported a failure (result " + std::to_string(result) + ")");
        if (count != result)
            return done(Outcome::Inconsistent, brokenAnswer(result, count, capacity, unit));
        if (count > capacity) return retry(count);
        records.resize(static_cast<std::size_t>(count));
        out.partitions = std::move(records);
        return done(Outcome::Complete);
    });
    return out;
}

} // namespace mpioctl
