// SPDX-License-Identifier: MIT
// Diagnostics of the package API: the core reports through log_info(), and
// in librerazera-package that reaches the log callback of the handle (or
// stream) whose call is running on this thread, or nowhere.
#pragma once

#include "rerazera/package.h"

namespace rerazera {

// Routes this thread's diagnostics to fn for the lifetime of the scope. The
// previous route is restored on exit, so nested calls (a callback that opens
// another handle) keep their own. Nothing is shared between threads.
class ScopedLogSink {
  public:
    ScopedLogSink(rerazera_log_fn fn, void *ctx) noexcept;
    ~ScopedLogSink();
    ScopedLogSink(const ScopedLogSink &) = delete;
    ScopedLogSink &operator=(const ScopedLogSink &) = delete;

    // The route of the call running on this thread, or null.
    static const ScopedLogSink *current() noexcept;
    void deliver(const char *line) const noexcept {
        if (fn_ != nullptr) {
            fn_(ctx_, line);
        }
    }

  private:
    rerazera_log_fn fn_;
    void *ctx_;
    const ScopedLogSink *previous_;
};

}  // namespace rerazera
