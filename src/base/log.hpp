// SPDX-License-Identifier: MIT
// The library's one way to the system log.
//
// Every diagnostic is one syslog() call at LOG_INFO with the exact text of the
// operation that reports it. The host owns openlog() and the facility; the
// library never touches them. Texts live as named constants beside the code
// that emits them.
#pragma once

namespace rerazera {

void log_info(const char *format, ...) noexcept __attribute__((format(printf, 1, 2)));

}  // namespace rerazera
