// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iostream>
#include <thread>

#include "output.hpp"
#include "rerazera.h"
#include "tool.hpp"

namespace rztool {

void report_error(const std::string &what, const std::string &reason) {
    const std::string line = "rerazera: " + escape(what) + ": " + escape(reason) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void report_error_text(const std::string &what, const std::string &reason,
                       const std::string &text) {
    std::string out = "rerazera: " + escape(what) + ": " + escape(reason) + ":\n";
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        if (end > at) {
            out += "  " + escape(std::string_view(text).substr(at, end - at)) + "\n";
        }
        at = end + 1;
    }
    std::fwrite(out.data(), 1, out.size(), stderr);
}

void report_note(const std::string &what, const std::string &text) {
    if (quiet()) {
        return;
    }
    const std::string line = "rerazera: " + escape(what) + ": note: " + escape(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string describe_code(std::int32_t code) {
    switch (code) {
        case QVPKG_OK:
            return "success";
        case QVPKG_ERR:
            return "failed (checksum, absent sub-file or not an extension)";
        case QVPKG_ERR_EXT_TABLE:
            return "the second descriptor table cannot be read";
        case QVPKG_ERR_IO:
            return "cannot open, read or write the file";
        case QVPKG_ERR_NO_MEMORY:
            return "out of memory";
        case QVPKG_ERR_PATH:
            return "no such file or directory";
        case QVPKG_ERR_FILE_NUM:
            return "the header lists more than 256 entries";
        case QVPKG_ERR_LENGTH:
            return "a sub-file runs past the end of its container";
        case QVPKG_ERR_CRC:
            return "checksum mismatch";
        case QVPKG_ERR_NO_EXTEND:
            return "not found (the package has no extension)";
        case QVPKG_ERR_EXTEND:
            return "the extension is malformed";
        case QVPKG_ERR_NULL_ARG:
            return "missing argument";
        case QVPKG_ERR_HEADER:
            return "the package header is missing or invalid";
        case QVPKG_ERR_INVALID_ARG:
            return "invalid argument (empty sub-file or output path without a file name)";
        case QVPKG_ERR_NAME:
            return "the package path contains '@'";
        case QVPKG_ERR_NOT_FOUND:
            return "no sub-file matches";
        default:
            return "failed with code " + std::to_string(code);
    }
}

namespace {

const char *file_kind(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "is a directory";
    }
    if (S_ISFIFO(mode)) {
        return "is a FIFO, not a regular file";
    }
    if (S_ISCHR(mode)) {
        return "is a character device, not a regular file";
    }
    if (S_ISBLK(mode)) {
        return "is a block device, not a regular file";
    }
    if (S_ISSOCK(mode)) {
        return "is a socket, not a regular file";
    }
    return "is not a regular file";
}

bool g_verbose = false;
bool g_quiet = false;
thread_local const std::string *t_label = nullptr;
thread_local const std::string *t_reading = nullptr;

constexpr char kChangedWhileRead[] = "the file changed (it shrank) while it was read";

// Async-signal-safe: fixed buffer, write(2), _exit(2). The fault is
// synchronous, so the thread-local names are those of the faulting thread.
extern "C" void on_bus_error(int /*sig*/) {
    remove_pending_files();
    char line[1024];
    std::size_t n = 0;
    const auto put = [&](const char *text, std::size_t len) {
        for (std::size_t i = 0; i < len && n + 4 < sizeof line - sizeof kChangedWhileRead; ++i) {
            const auto u = static_cast<unsigned char>(text[i]);
            if (u >= 0x20 && u < 0x7f && u != '\\') {
                line[n++] = static_cast<char>(u);
            } else {
                static const char digits[] = "0123456789abcdef";
                line[n++] = '\\';
                line[n++] = 'x';
                line[n++] = digits[u >> 4];
                line[n++] = digits[u & 0xF];
            }
        }
    };
    const std::string *name = t_reading != nullptr ? t_reading : t_label;
    std::memcpy(line, "rerazera: ", 10);
    n = 10;
    if (name != nullptr) {
        put(name->data(), name->size());
        line[n++] = ':';
        line[n++] = ' ';
    }
    std::memcpy(line + n, kChangedWhileRead, sizeof kChangedWhileRead - 1);
    n += sizeof kChangedWhileRead - 1;
    line[n++] = '\n';
    (void)!::write(STDERR_FILENO, line, n);
    ::_exit(kExitTrouble);
}

// The library's diagnostic lines: dropped, or shown escaped on stderr with
// the package they concern. One write per line keeps the lines of parallel
// verifications whole.
void show_log_line(const char *format, va_list args) {
    if (!g_verbose) {
        return;
    }
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    std::string_view body(text);
    while (!body.empty() && body.back() == '\n') {
        body.remove_suffix(1);
    }
    if (body.empty()) {
        return;
    }
    std::string line = "rerazera: ";
    if (t_label != nullptr) {
        line += escape(*t_label) + ": ";
    }
    line += escape(body);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

std::string shell_quote(std::string_view text) {
    std::string out = "'";
    for (const char c : escape(text)) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

std::string escape(std::string_view text) {
    std::string out;
    append_escaped(out, text);
    return out;
}

namespace {

// Code points that are valid UTF-8 but change how a terminal shows what
// follows: the C1 controls, and the invisible and bidirectional format
// characters (marks, embeddings, overrides, isolates, line and paragraph
// separators, zero-width spaces and joiners, the byte order mark).
constexpr std::uint32_t kHidden[][2] = {
    {0x0080, 0x009F}, {0x061C, 0x061C}, {0x180E, 0x180E}, {0x200B, 0x200F},
    {0x2028, 0x202E}, {0x2060, 0x2069}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB},
};

bool hidden(std::uint32_t cp) {
    for (const auto &range : kHidden) {
        if (cp >= range[0] && cp <= range[1]) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::size_t shown_char(std::string_view text, std::size_t i, bool &safe) {
    const auto u = static_cast<unsigned char>(text[i]);
    safe = false;
    if (u < 0x80) {
        safe = u >= 0x20 && u != 0x7f;
        return 1;
    }
    // Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
    const std::size_t n = u >= 0xC2 && u <= 0xDF   ? 2
                          : u >= 0xE0 && u <= 0xEF ? 3
                          : u >= 0xF0 && u <= 0xF4 ? 4
                                                   : 0;
    if (n == 0 || i + n > text.size()) {
        return 1;
    }
    std::uint32_t cp = u & (0x7Fu >> n);
    for (std::size_t k = 1; k < n; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) {
            return 1;
        }
        cp = cp << 6 | (b & 0x3Fu);
    }
    constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 1;
    }
    safe = !hidden(cp);
    return n;
}

void append_escaped(std::string &out, std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '\\') {
            out += "\\\\";
            ++i;
            continue;
        }
        bool safe = false;
        const std::size_t n = shown_char(text, i, safe);
        for (std::size_t k = i; k < i + n; ++k) {
            if (safe) {
                out += text[k];
            } else {
                const auto u = static_cast<unsigned char>(text[k]);
                out += "\\x";
                out += digits[u >> 4];
                out += digits[u & 0xF];
            }
        }
        i += n;
    }
}

std::size_t display_width(std::string_view shown) {
    if (std::all_of(shown.begin(), shown.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return shown.size();  // escaped ASCII: one column a byte
    }
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    const locale_t before = utf8 != static_cast<locale_t>(0) ? ::uselocale(utf8) : nullptr;
    std::size_t width = 0;
    std::mbstate_t state{};
    for (std::size_t i = 0; i < shown.size();) {
        wchar_t wc = 0;
        const std::size_t n = before != nullptr
                                  ? std::mbrtowc(&wc, shown.data() + i, shown.size() - i, &state)
                                  : static_cast<std::size_t>(-1);
        if (n == 0 || n > shown.size() - i) {  // no UTF-8 locale, or not UTF-8 after all
            bool safe = false;
            i += shown_char(shown, i, safe);
            ++width;
            state = {};
            continue;
        }
        const int w = ::wcwidth(wc);
        width += w < 0 ? 1 : static_cast<std::size_t>(w);
        i += n;
    }
    if (before != nullptr) {
        ::uselocale(before);
    }
    return width;
}

std::string input_problem(const std::string &path, std::uint64_t *size, FileIdentity *identity) {
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        // Commands that read standard input handle "-" before they get here.
        if (errno == ENOENT && path == "-") {
            return "this command does not read standard input (write ./- for a file named '-')";
        }
        return std::strerror(errno);
    }
    struct stat st {};
    const int r = ::fstat(fd, &st);
    const int err = errno;
    ::close(fd);
    if (r != 0) {
        return std::strerror(err);
    }
    if (!S_ISREG(st.st_mode)) {
        return file_kind(st.st_mode);
    }
    if (static_cast<std::uint64_t>(st.st_size) > static_cast<std::uint64_t>(INT32_MAX)) {
        return std::to_string(st.st_size) +
               " bytes: larger than 2 GiB, the limit of the 32-bit signed file positions "
               "that packages use";
    }
    if (size != nullptr) {
        *size = static_cast<std::uint64_t>(st.st_size);
    }
    if (identity != nullptr) {
        *identity = FileIdentity{st.st_dev, st.st_ino};
    }
    return {};
}

bool check_input_file(const std::string &path, std::uint64_t *size, FileIdentity *identity) {
    const std::string problem = input_problem(path, size, identity);
    if (!problem.empty()) {
        report_error(path, problem);
    }
    return problem.empty();
}

void set_verbose(bool on) {
    g_verbose = on;
}

void set_quiet(bool on) {
    g_quiet = on;
}

bool quiet() {
    return g_quiet;
}

void set_reading(const std::string *package) {
    t_reading = package;
}

void install_process_handlers() {
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_bus_error;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGBUS, &sa, nullptr);
}

LogLabel::LogLabel(const std::string &package) {
    t_label = &package;
}

LogLabel::~LogLabel() {
    t_label = nullptr;
}

int finish_stdout(int status) {
    std::cout.flush();
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || !std::cout;
    const int err = errno;
    if (failed) {
        std::fprintf(stderr, "rerazera: standard output: %s\n",
                     err != 0 ? std::strerror(err) : "write error");
        return kExitTrouble;
    }
    return status;
}

unsigned default_jobs() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

}  // namespace rztool

// The library logs through syslog; the tool owns the logger, so it defines
// it (and glibc's fortified variants) to route the lines as above.
extern "C" {
void vsyslog(int /*priority*/, const char *format, va_list args) {
    rztool::show_log_line(format, args);
}
void syslog(int /*priority*/, const char *format, ...) {
    va_list args;
    va_start(args, format);
    rztool::show_log_line(format, args);
    va_end(args);
}
void __vsyslog_chk(int /*priority*/, int /*flag*/, const char *format, va_list args) {
    rztool::show_log_line(format, args);
}
void __syslog_chk(int /*priority*/, int /*flag*/, const char *format, ...) {
    va_list args;
    va_start(args, format);
    rztool::show_log_line(format, args);
    va_end(args);
}
}
