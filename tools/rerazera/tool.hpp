// SPDX-License-Identifier: MIT
// Shared pieces of the rerazera command-line tool: exit statuses, error
// reporting, number parsing, and the subcommand registration functions.
//
// The tool is an ordinary host of the libraries: it reads packages only
// through their public headers (a package API handle, and the QVPKG_
// functions of rerazera.h for the one-call check) and owns the logger.
#pragma once

#include <sys/types.h>
#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace rztool {

// Documented exit statuses (see rerazera.1), as cmp and diff separate them:
// a bad package is an answer, trouble is the absence of one.
inline constexpr int kExitOk = 0;       // everything asked for succeeded
inline constexpr int kExitFailure = 1;  // a package (or bin file) failed its checks
inline constexpr int kExitTrouble = 2;  // usage error, or an input or output unusable
inline constexpr int kExitUsage = kExitTrouble;

// The worse of two statuses: trouble over failure over success.
inline int worse(int a, int b) {
    return a > b ? a : b;
}

// The table printed by --help and kept in step with rerazera(1).
inline constexpr const char *kExitStatusHelp =
    "Exit status: 0 success; 1 a package or bin file failed its checks; 2 trouble: a usage\n"
    "error, or an input or output that could not be used (missing, not a regular file,\n"
    "2 GiB or more, unwritable, standard output failed).";

// A subcommand sets its runner while its options are parsed; main calls it.
using Runner = std::function<int()>;

// "rerazera: WHAT: REASON" on stderr, every control character escaped.
void report_error(const std::string &what, const std::string &reason);
// "rerazera: WHAT: REASON:" on stderr, then each line of a multi-line text
// (such as a library verdict) on a line of its own, indented, escaped.
void report_error_text(const std::string &what, const std::string &reason, const std::string &text);
// "rerazera: WHAT: note: TEXT" on stderr, for things done on the user's behalf.
void report_note(const std::string &what, const std::string &text);

// Text from a package (or a user's path) made safe for a terminal or a log:
// control characters, C1 controls, bytes that are not UTF-8 and the
// backslash itself are written as \xNN (\\ for the backslash).
// The bidirectional and invisible format characters (U+202E, U+200B, U+2028,
// U+FEFF...) are escaped byte by byte too: they are UTF-8 but would let a
// name reorder or hide what is printed after it.
std::string escape(std::string_view text);

// The terminal columns that escaped text takes: wide characters count two,
// combining marks none, as the C library's wcwidth says under UTF-8
// (C.UTF-8, whatever the user's locale, as escaping is); one a code point
// where no UTF-8 locale exists.
std::size_t display_width(std::string_view shown);

// text escaped, then in single quotes for a shell ('\'' for a quote).
std::string shell_quote(std::string_view text);
void append_escaped(std::string &out, std::string_view text);
// The character at text[i]: its length in bytes (1 for a byte that starts
// no valid UTF-8 sequence), and in safe whether it may be shown as it is.
std::size_t shown_char(std::string_view text, std::size_t i, bool &safe);

// Text for a library result code, for error messages.
std::string describe_code(std::int32_t code);

// Accepts decimal, 0x-prefixed hexadecimal and negative decimal numbers that
// fit a 32-bit field (signed or unsigned); file IDs such as 0xFF005638 and
// -16755144 name the same ID. A leading zero is decimal, never octal: 020 is
// twenty.
std::optional<std::uint32_t> parse_u32(const std::string &text);

// A 32-bit field as stored (file IDs, stored checksum words, aux words):
// "0x0000abcd", always eight digits.
std::string hex32(std::uint32_t value);
// A 16-bit value (a computed CRC-16, the product type): "0xabcd", always
// four digits.
std::string hex16(std::uint32_t value);

// The value of one hexadecimal digit of either case; -1 for any other character.
constexpr int hex_digit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// Device and inode of a file, to recognise an output that is an input.
struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileIdentity &) const = default;
};

// Why an input path cannot be used, or "" when it can: it must open for
// reading without blocking (a FIFO would wait for a writer) and be a
// regular file below 2 GiB, the most that 32-bit signed file positions
// address. Fills size and identity on success.
std::string input_problem(const std::string &path, std::uint64_t *size = nullptr,
                          FileIdentity *identity = nullptr);
// Makes sure an input path names a usable regular file; reports why not.
bool check_input_file(const std::string &path, std::uint64_t *size = nullptr,
                      FileIdentity *identity = nullptr);

// Options whose values are numbers: decimal or 0x-hexadecimal, checked.
std::optional<unsigned> parse_count(const std::string &text, unsigned min, unsigned max);

// Diagnostics of the library (its syslog lines) are dropped unless verbose;
// when shown, each goes to stderr escaped and prefixed with the package that
// the calling thread is working on.
void set_verbose(bool on);
class LogLabel {
  public:
    explicit LogLabel(const std::string &package);
    ~LogLabel();
    LogLabel(const LogLabel &) = delete;
    LogLabel &operator=(const LogLabel &) = delete;
};

// Names the package the calling thread reads through a mapping (nullptr:
// none), for the message of the SIGBUS handler.
void set_reading(const std::string *package);
// For the whole run: SIGPIPE ignored (a closed pipe is a write error), and
// SIGBUS, which a mapped package raises when it shrinks while it is read,
// turned into "rerazera: PKG: the file changed (it shrank) while it was
// read", the pending temporary files removed and exit status 2.
void install_process_handlers();

// Flushes standard output and reports a failed write: kExitTrouble, or status.
int finish_stdout(int status);

// Number of worker threads to use by default.
unsigned default_jobs();

// --quiet: print failures and nothing else. Notes and progress are dropped;
// errors stay; each command leaves out its own chatter (verify's ok lines
// and summary, the paths extract prints, diff's heading and summary) and
// still prints what it was asked for (listings, --field, --json, -o -).
void set_quiet(bool on);
bool quiet();

// The versions of the tool and of the libraries it loaded, on stdout.
int print_version();

void add_info(CLI::App &app, Runner &run);
void add_list(CLI::App &app, Runner &run);
void add_verify(CLI::App &app, Runner &run);
void add_extract(CLI::App &app, Runner &run);
void add_strip(CLI::App &app, Runner &run);
void add_pack(CLI::App &app, Runner &run);
void add_unpack(CLI::App &app, Runner &run);
void add_keygen(CLI::App &app, Runner &run);
void add_sign(CLI::App &app, Runner &run);
void add_diff(CLI::App &app, Runner &run);

}  // namespace rztool
