// SPDX-License-Identifier: MIT
#include "package/log_sink.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/log.hpp"

namespace rerazera {
namespace {

// The route of the call running on this thread. A pointer to a scope on
// this thread's stack, so no call can see another's.
thread_local const ScopedLogSink *route = nullptr;

}  // namespace

ScopedLogSink::ScopedLogSink(rerazera_log_fn fn, void *ctx) noexcept
    : fn_(fn), ctx_(ctx), previous_(route) {
    route = this;
}

ScopedLogSink::~ScopedLogSink() {
    route = previous_;
}

const ScopedLogSink *ScopedLogSink::current() noexcept {
    return route;
}

void log_info(const char *format, ...) noexcept {
    const ScopedLogSink *sink = ScopedLogSink::current();
    if (sink == nullptr) {
        return;
    }
    // The core's lines are short texts plus a path; a longer one is cut.
    char line[4096 + 256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    // Lines are handed over without the newlines the syslog texts end in.
    std::size_t n = std::strlen(line);
    while (n > 0 && line[n - 1] == '\n') {
        line[--n] = '\0';
    }
    sink->deliver(line);
}

}  // namespace rerazera
