// A console reporter for the benchmarks that keeps each benchmark's best CPU
// time per iteration over its repetitions, for the ratio tables the bench
// programs print against their goals. CPU rather than wall time, and the
// best rather than the mean, because the machine may be shared and load only
// ever slows a run down. The console shows every repetition and leaves out
// the aggregates.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class BestTimeReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            shown.push_back(run);
            if (run.error_occurred || run.iterations == 0) continue;
            const double per_iteration = run.cpu_accumulated_time / static_cast<double>(run.iterations);
            const auto [best, fresh] = best_.try_emplace(run.run_name.function_name, per_iteration);
            if (!fresh && per_iteration < best->second) best->second = per_iteration;
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }

    // Seconds per iteration of the benchmark `name`; 0 when it did not run.
    double Seconds(const std::string& name) const {
        const auto it = best_.find(name);
        return it != best_.end() ? it->second : 0.0;
    }

    // How much longer `measured` took than `baseline`: 1.05 is 5% more; 0
    // when either did not run.
    double Cost(const std::string& measured, const std::string& baseline) const {
        const double m = Seconds(measured), b = Seconds(baseline);
        return m != 0 && b != 0 ? m / b : 0.0;
    }

private:
    std::map<std::string, double> best_;  // seconds per iteration, by benchmark
};
