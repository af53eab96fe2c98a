// Shared pieces of the rerazera command-line tool: exit statuses, error
// reporting, number parsing, and the subcommand registration functions.
//
// The tool is an ordinary host of the library: it reads packages only
// through the public QVPKG_ functions of rerazera.h and owns the logger.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace rztool {

// Documented exit statuses (see rerazera.1).
inline constexpr int kExitOk = 0;       // everything asked for succeeded
inline constexpr int kExitFailure = 1;  // a package failed, or a file could not be used
inline constexpr int kExitUsage = 2;    // the command line was wrong

// A subcommand sets its runner while its options are parsed; main calls it.
using Runner = std::function<int()>;

// "rerazera: WHAT: REASON" on stderr.
void report_error(const std::string &what, const std::string &reason);
// "rerazera: WHAT: note: TEXT" on stderr, for things done on the user's behalf.
void report_note(const std::string &what, const std::string &text);

// Text for a library result code, for error messages.
std::string describe_code(std::int32_t code);

// Accepts decimal, 0x-prefixed hexadecimal and negative decimal numbers that
// fit a 32-bit field (signed or unsigned); file IDs such as 0xFF005638 and
// -16755144 name the same ID.
std::optional<std::uint32_t> parse_u32(const std::string &text);

// "0x0000abcd".
std::string hex32(std::uint32_t value);

// Why an input path cannot be read as a file, or "" when it can.
std::string input_problem(const std::string &path);
// Makes sure an input path names a readable regular file; reports why not.
bool check_input_file(const std::string &path);

// Number of worker threads to use by default.
unsigned default_jobs();

void add_info(CLI::App &app, Runner &run);
void add_list(CLI::App &app, Runner &run);
void add_verify(CLI::App &app, Runner &run);
void add_extract(CLI::App &app, Runner &run);
void add_strip(CLI::App &app, Runner &run);
void add_pack(CLI::App &app, Runner &run);
void add_keygen(CLI::App &app, Runner &run);
void add_sign(CLI::App &app, Runner &run);

}  // namespace rztool
