// SPDX-License-Identifier: MIT
// A progress line for long pack, unpack and extract --all runs. It is drawn
// on standard error only when that is a terminal, at most four times a
// second and only once a run has lasted half a second, so short runs, pipes,
// logs and captured output never see it. The line is cleared when the run
// ends, leaving the terminal as it was.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace rztool {

class Progress {
  public:
    // `what` names the run ("unpack p.qv"); total is in `unit`s ("bytes"
    // are shown in MiB).
    Progress(std::string what, std::uint64_t total, std::string unit = "bytes");
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // Sets how much is done and redraws when it is time to.
    void update(std::uint64_t done);
    void add(std::uint64_t n) { update(done_ + n); }
    // Takes the line off the screen before other output; the next update
    // draws it again.
    void clear();

  private:
    std::string what_;
    std::string unit_;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
    bool active_ = false;
    std::size_t drawn_ = 0;  // width of the line on screen, 0 when none
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace rztool
