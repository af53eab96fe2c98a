// SPDX-License-Identifier: MIT
#include "support/log_capture.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace rztest {
namespace {

std::mutex g_mutex;
std::vector<LogLine> g_lines;

void record(int priority, const char *format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    if (std::getenv("RZTEST_ECHO_LOG") != nullptr) {
        std::fprintf(stderr, "[syslog %d] %s", priority, text.c_str());
    }
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.push_back(LogLine{priority, std::move(text)});
}

}  // namespace

std::vector<LogLine> LogCapture::entries() const {
    const std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

std::vector<std::string> LogCapture::lines() const {
    std::vector<std::string> out;
    for (const auto &e : entries()) {
        out.push_back(e.text);
    }
    return out;
}

void LogCapture::clear() {
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

}  // namespace rztest

extern "C" {
void vsyslog(int priority, const char *format, va_list args) {
    rztest::record(priority, format, args);
}
void __vsyslog_chk(int priority, int /*flag*/, const char *format, va_list args) {
    rztest::record(priority, format, args);
}
void syslog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    rztest::record(priority, format, args);
    va_end(args);
}
void __syslog_chk(int priority, int /*flag*/, const char *format, ...) {
    va_list args;
    va_start(args, format);
    rztest::record(priority, format, args);
    va_end(args);
}
}  // extern "C"
