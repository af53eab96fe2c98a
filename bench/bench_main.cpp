// SPDX-License-Identifier: MIT
// The benchmark program's entry point: runs every registered benchmark and
// then prints the ratio table (see ratio.hpp). With repetitions, the median
// of each benchmark is used.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "output_dirs.hpp"
#include "ratio.hpp"

namespace rzbench {
namespace {

struct Ratio {
    std::string label;
    std::string measured;
    std::string floor;
    double target;
};

std::vector<Ratio> &ratios() {
    static std::vector<Ratio> list;
    return list;
}

// Records each benchmark's real time (ns per iteration) while the console
// reporter prints as usual.
class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const double ns = run.GetAdjustedRealTime() *
                              benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                              benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") {
                    medians_[run.run_name.str()] = ns;
                }
            } else {
                times_[run.run_name.str()] = ns;  // last repetition if no median
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    [[nodiscard]] bool lookup(const std::string &name, double &ns) const {
        if (auto it = medians_.find(name); it != medians_.end()) {
            ns = it->second;
            return true;
        }
        if (auto it = times_.find(name); it != times_.end()) {
            ns = it->second;
            return true;
        }
        return false;
    }

  private:
    std::map<std::string, double> medians_;
    std::map<std::string, double> times_;
};

// A time in the unit that keeps three significant digits readable.
std::string human_time(double ns) {
    char text[32];
    if (ns < 1e3) {
        std::snprintf(text, sizeof text, "%.1f ns", ns);
    } else if (ns < 1e6) {
        std::snprintf(text, sizeof text, "%.2f us", ns / 1e3);
    } else if (ns < 1e9) {
        std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.3f s", ns / 1e9);
    }
    return text;
}

void print_ratios(const RecordingReporter &reporter) {
    if (ratios().empty()) {
        return;
    }
    std::printf("\n%-44s %14s %14s %8s %8s\n", "ratio (measured / floor)", "measured", "floor",
                "ratio", "target");
    for (const Ratio &r : ratios()) {
        double m = 0;
        double f = 0;
        if (!reporter.lookup(r.measured, m) || !reporter.lookup(r.floor, f) || f <= 0) {
            continue;  // filtered out of this run
        }
        const double ratio = m / f;
        char target[32] = "-";
        if (r.target > 0) {
            std::snprintf(target, sizeof target, "%s%.2f", ratio <= r.target ? "<=" : "MISS>",
                          r.target);
        }
        std::printf("%-44s %14s %14s %8.2f %8s\n", r.label.c_str(), human_time(m).c_str(),
                    human_time(f).c_str(), ratio, target);
    }
}

}  // namespace

bool add_ratio(const std::string &label, const std::string &measured, const std::string &floor,
               double target) {
    ratios().push_back(Ratio{label, measured, floor, target});
    return true;
}

}  // namespace rzbench

int main(int argc, char **argv) {
    if (!rzbench::take_output_dirs_flag(argc, argv)) {
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    rzbench::run_registrations();
    rzbench::RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    rzbench::print_ratios(reporter);
    benchmark::Shutdown();
    return 0;
}
