// Captures what the library sends to the system log.
//
// The test executable defines syslog(), vsyslog() and glibc's fortified
// __syslog_chk()/__vsyslog_chk() itself, so the library's calls land here
// instead of in libc: no logging seam exists in the library.
#pragma once

#include <string>
#include <vector>

namespace rztest {

struct LogLine {
    int priority;
    std::string text;
};

// Starts recording on construction (dropping anything earlier); lines()
// returns what was logged since.
class LogCapture {
  public:
    LogCapture();
    [[nodiscard]] std::vector<LogLine> entries() const;
    // The texts alone, in order.
    [[nodiscard]] std::vector<std::string> lines() const;
    void clear();
};

// Also echo captured lines to stderr (off by default; RZTEST_ECHO_LOG=1).
void set_echo(bool on);

}  // namespace rztest
