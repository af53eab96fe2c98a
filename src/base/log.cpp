// SPDX-License-Identifier: MIT
#include "base/log.hpp"

#include <syslog.h>

#include <cstdarg>

namespace rerazera {

void log_info(const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    vsyslog(LOG_INFO, format, args);
    va_end(args);
}

}  // namespace rerazera
