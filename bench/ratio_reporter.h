// Prints, after the usual table, each benchmark's time as a ratio against its baseline: the run
// whose name is the same with the part before the first '/' replaced by the baseline's name.
// Each benchmark counts with the fastest of its repetitions, the one least disturbed by the rest
// of the machine.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

namespace ferox::bench {

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    explicit RatioReporter(std::string baseline) : baseline_(std::move(baseline)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred)
                continue;
            std::string name = r.benchmark_name();
            // CPU time where the work is the measuring thread's own, else the wall clock.
            const auto suffix = name.find("/real_time");
            const bool wall = suffix != std::string::npos;
            if (wall)
                name.erase(suffix);
            const double t = wall ? r.GetAdjustedRealTime() : r.GetAdjustedCPUTime();
            auto [it, fresh] = times_.emplace(name, t);
            if (!fresh)
                it->second = std::min(it->second, t);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nratios against %s of the same size (lower is faster):\n", baseline_.c_str());
        for (const auto& [name, time] : times_) {
            const double r = Ratio(name);
            if (r > 0)
                std::printf("  %-40s %8.2fx\n", name.c_str(), r);
        }
    }

    // The benchmark's time over its baseline's; 0 when either is missing. Arguments after the
    // size (such as a path) do not take part in finding the baseline.
    double Ratio(const std::string& name) const {
        const auto it = times_.find(name);
        const auto slash = name.find('/');
        if (it == times_.end() || slash == std::string::npos ||
            name.compare(0, slash, baseline_) == 0) {
            return 0;
        }
        const auto end = name.find('/', slash + 1);
        const auto base = times_.find(baseline_ + name.substr(slash, end - slash));
        if (base == times_.end() || base->second <= 0)
            return 0;
        return it->second / base->second;
    }

  private:
    std::string baseline_;
    std::map<std::string, double> times_;
};

}  // namespace ferox::bench
