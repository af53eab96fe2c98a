// Helpers of the fault tests: run a library call with its n-th allocation
// failing, and sweep every allocation a call makes.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "alloc_fault.h"
#include "support/log_capture.hpp"
#include "support/scratch.hpp"

namespace rzfault {

using Lines = std::vector<std::string>;

struct Outcome {
    int result = 0;
    alloc_report report{};
    Lines lines;
};

// Runs call() with allocation n failing (0: none; sticky: n and every later
// one), capturing the log. The call releases whatever the library hands it
// before it returns, so that anything still allocated afterwards leaked.
inline Outcome run_failing(unsigned n, const std::function<int()> &call, bool sticky = false) {
    rztest::LogCapture log;
    alloc_fault_arm(n, sticky ? 1 : 0);
    Outcome out;
    out.result = call();
    out.report = alloc_fault_disarm();
    out.lines = log.lines();
    return out;
}

// Number of allocations the call makes when none fails.
inline unsigned allocations_of(const std::function<int()> &call) {
    return run_failing(0, call).report.count;
}

// Nothing left allocated or open after a run.
inline void expect_released(const Outcome &out) {
    EXPECT_EQ(out.report.live, 0u) << "heap blocks leaked";
    EXPECT_EQ(out.report.live_mapped, 0u) << "mapped bytes leaked";
}

// Fails each allocation of the call in turn: every run must reach its
// failure, release everything and close every descriptor; check() judges
// the result and the log of the run that failed allocation k.
inline void sweep(const std::function<int()> &call,
                  const std::function<void(unsigned k, const Outcome &)> &check) {
    const unsigned total = allocations_of(call);
    ASSERT_GT(total, 0u) << "the call allocates nothing";
    for (unsigned k = 1; k <= total; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(total));
        const int fds = rztest::open_fd_count();
        const Outcome out = run_failing(k, call);
        EXPECT_EQ(out.report.failed, 1u);
        expect_released(out);
        EXPECT_EQ(rztest::open_fd_count(), fds) << "a descriptor leaked";
        check(k, out);
    }
}

}  // namespace rzfault
