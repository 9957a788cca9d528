// SPDX-License-Identifier: Apache-2.0
// A console reporter that also keeps one figure per benchmark, so that a
// program can print a summary of what it measured after the run: the median
// over the repetitions (--benchmark_repetitions), or the single run's figure
// when there is one run.
#ifndef BENCH_BENCH_SUMMARY_H
#define BENCH_BENCH_SUMMARY_H

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench_common.h"

namespace benchsummary {

// The figure kept from one run, e.g. seconds per line from a counter.
using Figure = std::function<double(const benchmark::BenchmarkReporter::Run&)>;

// Real time of one iteration, in nanoseconds.
inline double realNanoseconds(const benchmark::BenchmarkReporter::Run& run) {
    return run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
}

// A finished counter (rates are already divided by the time).
inline Figure counter(std::string name) {
    return [name = std::move(name)](const benchmark::BenchmarkReporter::Run& run) {
        const auto found = run.counters.find(name);
        return found == run.counters.end() ? 0.0 : found->second.value;
    };
}

struct Entry {
    std::string family; // the benchmark function, e.g. BM_PartitionListing
    std::string args;   // what follows it, e.g. 1000 or a capture's name
    double median;      // median of the figure over the repetitions
    int samples;        // repetitions the median was taken over
};

class Reporter : public benchmark::ConsoleReporter {
public:
    explicit Reporter(Figure figure)
        : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Color : OO_None), figure_(std::move(figure)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            // BM_X/arg, or BM_X/name for BENCHMARK_CAPTURE: the family is
            // the part before the first '/'.
            std::string key = run.run_name.function_name;
            if (!run.run_name.args.empty()) key += "/" + run.run_name.args;
            if (!index_.count(key)) {
                index_[key] = order_.size();
                const std::size_t slash = key.find('/');
                order_.push_back({key.substr(0, slash),
                                  slash == std::string::npos ? std::string() : key.substr(slash + 1)});
            }
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") reportedMedian_[key] = {figure_(run), run.repetitions};
            } else {
                samples_[key].push_back(figure_(run));
            }
        }
    }

    // One entry per benchmark, in the order they ran. The median comes from
    // the individual runs when they were reported, else from the "median"
    // aggregate (with --benchmark_report_aggregates_only).
    std::vector<Entry> entries() const {
        std::vector<Entry> out;
        for (const auto& [family, args] : order_) {
            const std::string key = args.empty() ? family : family + "/" + args;
            const auto runs = samples_.find(key);
            if (runs != samples_.end() && !runs->second.empty()) {
                out.push_back({family, args, bench::median(runs->second), static_cast<int>(runs->second.size())});
            } else if (const auto m = reportedMedian_.find(key); m != reportedMedian_.end()) {
                out.push_back({family, args, m->second.first, static_cast<int>(m->second.second)});
            }
        }
        return out;
    }

    // The entries of one family, smallest argument first when every
    // argument is a number (repetitions may run interleaved at random),
    // else in the order they ran.
    std::vector<Entry> series(const std::string& family) const {
        std::vector<Entry> out;
        for (const Entry& e : entries())
            if (e.family == family) out.push_back(e);
        const auto numeric = [](const Entry& e) {
            return !e.args.empty() && e.args.find_first_not_of("0123456789") == std::string::npos;
        };
        if (std::all_of(out.begin(), out.end(), numeric))
            std::stable_sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) {
                return std::stoll(a.args) < std::stoll(b.args);
            });
        return out;
    }

private:
    Figure figure_;
    std::vector<std::pair<std::string, std::string>> order_;
    std::map<std::string, std::size_t> index_;
    std::map<std::string, std::vector<double>> samples_;
    std::map<std::string, std::pair<double, long long>> reportedMedian_;
};

} // namespace benchsummary

#endif // BENCH_BENCH_SUMMARY_H
