// SPDX-License-Identifier: MIT
#include "password.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tool.hpp"

namespace rztool {
namespace {

// One line from fd, byte by byte so that nothing after it is consumed.
std::optional<std::string> read_line(int fd) {
    std::string line;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0 || c == '\n') {
            break;
        }
        line += c;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// Asks on the terminal with echo off, restoring the terminal afterwards.
std::optional<std::string> ask(int tty, const char *prompt) {
    (void)::write(tty, prompt, std::strlen(prompt));
    termios saved{};
    const bool isTerminal = ::tcgetattr(tty, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        (void)::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    std::optional<std::string> line = read_line(tty);
    if (isTerminal) {
        (void)::tcsetattr(tty, TCSAFLUSH, &saved);
    }
    (void)::write(tty, "\n", 1);
    return line;
}

}  // namespace

void wipe(std::string &secret) {
    volatile char *p = secret.data();
    for (std::size_t i = 0; i < secret.size(); ++i) {
        p[i] = 0;
    }
    secret.clear();
}

std::optional<std::string> read_password(int fd, const char *prompt, bool confirm) {
    if (fd >= 0) {
        std::optional<std::string> line = read_line(fd);
        if (!line) {
            report_error("--password-fd " + std::to_string(fd), std::strerror(errno));
        } else if (line->empty()) {
            report_error("password", "empty (use --unencrypted for a key without one)");
            return std::nullopt;
        }
        return line;
    }
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0) {
        report_error("password", "no terminal to ask it on; use --password-fd N");
        return std::nullopt;
    }
    std::optional<std::string> first = ask(tty, prompt);
    std::optional<std::string> result;
    if (first && first->empty()) {
        report_error("password", "empty (use --unencrypted for a key without one)");
    } else if (first && confirm) {
        std::optional<std::string> again = ask(tty, "Password (again): ");
        if (again && *again == *first) {
            result = std::move(first);
        } else {
            report_error("password", "the two passwords differ");
        }
        if (again) {
            wipe(*again);
        }
    } else if (first) {
        result = std::move(first);
    }
    if (first) {
        wipe(*first);
    }
    ::close(tty);
    return result;
}

}  // namespace rztool
