// The benchmark driver: Google Benchmark's console output, then the ratio
// table (bench_util.h addRatio) computed from the same run, so that every
// ratio compares figures measured side by side on the same machine state.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <utility>
#include <string>
#include <vector>

#include "bench_util.h"

namespace pelox::bench {

namespace {

// Keeps each run's real and CPU time per iteration (the median of
// repetitions when there are several) next to the normal console output.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median")
                    medians_[name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
            } else {
                times_[name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
                units_[name] = run.time_unit;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // name is a full run name, or its beginning up to a "/" (so that
    // "/iterations:N", "/real_time" and the like need not be spelled out).
    bool find(const std::string& name, double& realSeconds, double& cpuSeconds) const {
        auto unit = units_.find(name);
        if (unit == units_.end()) {
            unit = units_.lower_bound(name + "/");
            if (unit == units_.end() || unit->first.compare(0, name.size() + 1, name + "/") != 0) return false;
        }
        auto median = medians_.find(unit->first);
        const auto& value = median != medians_.end() ? median->second : times_.at(unit->first);
        realSeconds = value.first / benchmark::GetTimeUnitMultiplier(unit->second);
        cpuSeconds = value.second / benchmark::GetTimeUnitMultiplier(unit->second);
        return true;
    }

private:
    std::map<std::string, std::pair<double, double>> times_, medians_;
    std::map<std::string, benchmark::TimeUnit> units_;
};

}  // namespace

}  // namespace pelox::bench

int main(int argc, char** argv) {
    using namespace pelox::bench;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // Real time is what a caller waits; CPU time is the calling thread's own
    // work (it leaves out the server and waiting, and on a busy machine the
    // time other processes took the core).
    std::printf("\nRatios of figures measured in this run: real time (CPU time of the calling threads)\n");
    for (const Ratio& r : ratios()) {
        double aReal = 0, aCpu = 0, bReal = 0, bCpu = 0;
        if (!reporter.find(r.numerator, aReal, aCpu) || !reporter.find(r.denominator, bReal, bCpu) || bReal <= 0)
            continue;
        std::printf("  %-66s %6.2fx (cpu %5.2fx)  %.4g/%.4g us%s%s\n", r.label.c_str(), aReal / bReal,
                    bCpu > 0 ? aCpu / bCpu : 0.0, aReal * 1e6, bReal * 1e6, r.goal.empty() ? "" : "  goal ",
                    r.goal.c_str());
    }
    if (!notes().empty()) {
        std::printf("\nNotes:\n");
        for (const std::string& note : notes()) std::printf("  %s\n", note.c_str());
    }
    benchmark::Shutdown();
    return 0;
}
