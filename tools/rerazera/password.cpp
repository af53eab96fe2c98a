// SPDX-License-Identifier: MIT
#include "password.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>

#include "tool.hpp"

namespace rztool {
namespace {

// Longer passwords are refused: a descriptor that never sends a line end
// (cat /dev/zero) must not be read for ever.
constexpr std::size_t kMaxPassword = 1024;

// One line from fd, byte by byte so that nothing after it is consumed;
// nullopt with errno E2BIG past kMaxPassword bytes.
std::optional<std::string> read_line(int fd) {
    std::string line;
    for (;;) {
        if (line.size() > kMaxPassword) {
            wipe(line);
            errno = E2BIG;
            return std::nullopt;
        }
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

// The terminal's settings while echo is off, for a fatal signal to put
// back before the process dies (a program's state: one prompt at a time).
termios gSavedTerminal{};
volatile sig_atomic_t gQuietTty = -1;

constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction gPrevious[std::size(kFatalSignals)]{};

void restore_and_die(int sig) {
    if (gQuietTty >= 0) {
        (void)::tcsetattr(gQuietTty, TCSANOW, &gSavedTerminal);
        (void)::write(gQuietTty, "\n", 1);
    }
    // The handler that was there before (removing temporary files) or the
    // default one finishes the job once this one returns.
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
        if (kFatalSignals[i] == sig) {
            ::sigaction(sig, &gPrevious[i], nullptr);
        }
    }
    ::raise(sig);
}

// Echo off for its lifetime; echo back on when it ends or a fatal signal
// arrives, whichever comes first.
class QuietTerminal {
  public:
    explicit QuietTerminal(int tty) {
        if (::tcgetattr(tty, &gSavedTerminal) != 0) {
            return;
        }
        struct sigaction sa {};
        sa.sa_handler = restore_and_die;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
            ::sigaction(kFatalSignals[i], &sa, &gPrevious[i]);
        }
        gQuietTty = tty;
        termios quiet = gSavedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        (void)::tcsetattr(tty, TCSAFLUSH, &quiet);
        active_ = true;
    }
    ~QuietTerminal() {
        if (!active_) {
            return;
        }
        (void)::tcsetattr(gQuietTty, TCSAFLUSH, &gSavedTerminal);
        gQuietTty = -1;
        for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
            ::sigaction(kFatalSignals[i], &gPrevious[i], nullptr);
        }
    }
    QuietTerminal(const QuietTerminal &) = delete;
    QuietTerminal &operator=(const QuietTerminal &) = delete;

  private:
    bool active_ = false;
};

// Asks on the terminal with echo off, restoring the terminal afterwards.
std::optional<std::string> ask(int tty, const char *prompt) {
    (void)::write(tty, prompt, std::strlen(prompt));
    std::optional<std::string> line;
    {
        const QuietTerminal quiet(tty);
        line = read_line(tty);
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
            report_error("--password-fd " + std::to_string(fd),
                         errno == E2BIG ? "longer than 1024 bytes" : std::strerror(errno));
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
