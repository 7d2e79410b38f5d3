// The native benchmarks, ending with one line per figure against its baseline of the same run:
//   RATIO pcm_convert_vs_memcpy=V <=1.3 convert=PATH    the worse of 1024 and 2048 frames, on
//   RATIO dsd_convert_vs_memcpy=V <=1.6 convert=PATH    the path the driver picks here
//   COUNT streaming_allocations=N <=0      per 10,000 switches
// --quick runs each benchmark briefly, for checks that the program works.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "convert_bench.h"
#include "ratio_reporter.h"
#include "streaming_allocations.h"

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    bool quick = false;
    args.erase(std::remove_if(args.begin() + 1, args.end(),
                              [&](char* a) {
                                  const bool q = std::strcmp(a, "--quick") == 0;
                                  quick = quick || q;
                                  return q;
                              }),
               args.end());
    // Repetitions, so that the fastest of each stands for it on a busy machine.
    std::string minTime = quick ? "--benchmark_min_time=0.01" : "--benchmark_min_time=0.2";
    std::string reps = quick ? "--benchmark_repetitions=1" : "--benchmark_repetitions=5";
    std::string noAggregates = "--benchmark_report_aggregates_only=false";
    args.insert(args.begin() + 1, {minTime.data(), reps.data(), noAggregates.data()});
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    // Before the benchmarks, as a driver measures before its stream.
    const ferox::ConvertChoice picked = ferox::bench::PickedConvertChoice();
    ferox::bench::RatioReporter reporter("Memcpy");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // The driver's own choice of path (the "/-1" runs), the worse of the two sizes.
    auto worse = [&](const char* name) {
        const std::string n = name;
        return std::max(reporter.Ratio(n + "/1024/-1"), reporter.Ratio(n + "/2048/-1"));
    };
    const double pcm = worse("ConvertPcm");
    const double dsd = worse("ConvertDsd");
    const long allocations = ferox::bench::StreamingAllocations(quick ? 1000 : 10000);
    std::printf("\n");
    if (pcm > 0)
        std::printf("RATIO pcm_convert_vs_memcpy=%.2f <=1.3 convert=%s\n", pcm,
                    ferox::ConvertPathName(picked.pcm));
    if (dsd > 0)
        std::printf("RATIO dsd_convert_vs_memcpy=%.2f <=1.6 convert=%s\n", dsd,
                    ferox::ConvertPathName(picked.dsd));
    if (allocations >= 0)
        std::printf("COUNT streaming_allocations=%ld <=0\n", allocations);
    return 0;
}
