#include "support/log_capture.hpp"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace rztest {
namespace {

std::mutex &log_mutex() {
    static std::mutex m;
    return m;
}

std::vector<LogLine> &recorded() {
    static std::vector<LogLine> lines;
    return lines;
}

bool echo_enabled() {
    static const bool on = std::getenv("RZTEST_ECHO_LOG") != nullptr;
    return on;
}

bool g_echo = false;

void record(int priority, const char *format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) {
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    if (g_echo || echo_enabled()) {
        std::fprintf(stderr, "[syslog %d] %s", priority, text.c_str());
    }
    std::lock_guard<std::mutex> lock(log_mutex());
    recorded().push_back(LogLine{priority, std::move(text)});
}

}  // namespace

LogCapture::LogCapture() {
    clear();
}

std::vector<LogLine> LogCapture::entries() const {
    std::lock_guard<std::mutex> lock(log_mutex());
    return recorded();
}

std::vector<std::string> LogCapture::lines() const {
    std::vector<std::string> out;
    for (const auto &e : entries()) {
        out.push_back(e.text);
    }
    return out;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(log_mutex());
    recorded().clear();
}

void set_echo(bool on) {
    g_echo = on;
}

}  // namespace rztest

// ---- Interposed libc logger --------------------------------------------------

extern "C" {

void vsyslog(int priority, const char *format, va_list args) {
    rztest::record(priority, format, args);
}

void syslog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    rztest::record(priority, format, args);
    va_end(args);
}

void __vsyslog_chk(int priority, int /*flag*/, const char *format, va_list args) {
    rztest::record(priority, format, args);
}

void __syslog_chk(int priority, int /*flag*/, const char *format, ...) {
    va_list args;
    va_start(args, format);
    rztest::record(priority, format, args);
    va_end(args);
}

}  // extern "C"
