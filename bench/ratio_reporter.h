// Prints, after the usual table, each benchmark's time as a ratio against its baseline: the run
// whose name is the same with the part before the first '/' replaced by the baseline's name.
#pragma once

#include <benchmark/benchmark.h>

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
            if (r.run_type != Run::RT_Iteration)
                continue;
            std::string name = r.benchmark_name();
            const auto suffix = name.find("/real_time");
            if (suffix != std::string::npos)
                name.erase(suffix);
            times_[name] = r.GetAdjustedRealTime();
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nratios against %s of the same size (lower is faster):\n", baseline_.c_str());
        for (const auto& [name, time] : times_) {
            const auto slash = name.find('/');
            if (slash == std::string::npos || name.compare(0, slash, baseline_) == 0)
                continue;
            const auto base = times_.find(baseline_ + name.substr(slash));
            if (base == times_.end() || base->second <= 0)
                continue;
            std::printf("  %-40s %8.2fx\n", name.c_str(), time / base->second);
        }
    }

  private:
    std::string baseline_;
    std::map<std::string, double> times_;
};

}  // namespace ferox::bench
