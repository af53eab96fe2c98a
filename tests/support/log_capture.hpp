// SPDX-License-Identifier: MIT
// Captures what the library sends to the system log: the test executable
// defines syslog(), vsyslog() and glibc's fortified __syslog_chk() and
// __vsyslog_chk() itself, so the library's calls land here instead of libc.
#pragma once

#include <string>
#include <vector>

namespace rztest {

struct LogLine {
    int priority;
    std::string text;
};

// Records from construction on (dropping anything earlier). RZTEST_ECHO_LOG=1
// echoes every line to stderr.
class LogCapture {
  public:
    LogCapture() { clear(); }
    [[nodiscard]] std::vector<LogLine> entries() const;
    [[nodiscard]] std::vector<std::string> lines() const;  // the texts, in order
    void clear();
};

}  // namespace rztest
