// SPDX-License-Identifier: MIT
#include "progress.hpp"

#include <unistd.h>

#include <cstdio>
#include <utility>

#include "tool.hpp"

namespace rztool {
namespace {

constexpr auto kFirstAfter = std::chrono::milliseconds(500);
constexpr auto kEvery = std::chrono::milliseconds(250);

std::string amount(std::uint64_t n, const std::string &unit) {
    if (unit == "bytes") {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(n) / (1024.0 * 1024.0));
        return text;
    }
    return std::to_string(n) + " " + unit;
}

}  // namespace

Progress::Progress(std::string what, std::uint64_t total, std::string unit)
    : what_(std::move(what)),
      unit_(std::move(unit)),
      total_(total),
      active_(total > 0 && !quiet() && ::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

Progress::~Progress() {
    clear();
}

void Progress::clear() {
    if (drawn_ > 0) {
        const std::string blank = "\r" + std::string(drawn_, ' ') + "\r";
        std::fwrite(blank.data(), 1, blank.size(), stderr);
        std::fflush(stderr);
        drawn_ = 0;
    }
}

void Progress::update(std::uint64_t done) {
    done_ = done;
    if (!active_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < kFirstAfter || now - last_ < kEvery) {
        return;
    }
    last_ = now;
    const unsigned percent =
        static_cast<unsigned>((done_ > total_ ? total_ : done_) * 100 / total_);
    std::string line = "rerazera: " + escape(what_) + ": " + std::to_string(percent) + "% (" +
                       amount(done_, unit_) + " of " + amount(total_, unit_) + ")";
    const std::size_t width = line.size();
    if (width < drawn_) {
        line.append(drawn_ - width, ' ');
    }
    line = "\r" + line;
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    drawn_ = width > drawn_ ? width : drawn_;
}

}  // namespace rztool
