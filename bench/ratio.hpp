// SPDX-License-Identifier: MIT
// Ratios against floors measured in the same run.
//
// A benchmark file registers pairs of benchmark names: what the library does
// and the floor for the same work (the cheapest way the machine can do it).
// After the run the program prints each pair's times and their ratio, so the
// figures hold on a noisy shared machine where absolute times drift.
#pragma once

#include <string>

namespace rzbench {

// `measured` and `floor` are full benchmark names as Google Benchmark prints
// them (e.g. "BM_Verify/real_time"). `target` is the largest acceptable
// ratio, or 0 for none; the table marks pairs that miss it.
bool add_ratio(const std::string &label, const std::string &measured, const std::string &floor,
               double target = 0.0);

}  // namespace rzbench
