// Helpers of the signature tests: running programs, a package to sign and
// ways of spoiling a signed package (p) or its signature (s).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "writer/package_writer.hpp"

namespace rztest {

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

// Runs argv[0] (a path) with argv in directory dir, stdin fed from input,
// stdout and stderr captured, without a controlling terminal.
RunResult run_program(const std::vector<std::string> &argv, const std::string &dir,
                      const std::string &input = "");
// Debian's minisign, run in dir.
RunResult minisign(std::vector<std::string> args, const std::string &dir,
                   const std::string &input = "");
// The ID of a minisign public key file, from its first line ("untrusted
// comment: minisign public key 12345678ABCDEF", without leading zeros).
std::string key_id_of(const std::string &pubPath);

std::string read_text(const std::string &path);
void write_text(const std::string &path, const std::string &text);

// Three sub-files, one of 70000 bytes, with product type 0x1234 (4660).
rerazera::writer::Package make_package();

void flip_byte(const std::string &path, long at);  // at < 0: from the end
// Replaces count characters at pos (from its end when pos < 0) of a file's
// line (0-based) with text.
void edit_line(const std::string &path, int line, long pos, std::size_t count,
               const std::string &text);

using Str = const std::string &;
struct Spoil {
    static void none(Str, Str) {}
    static void first(Str p, Str) { flip_byte(p, 0); }
    static void middle(Str p, Str) { flip_byte(p, 40000); }
    static void last(Str p, Str) { flip_byte(p, -1); }
    static void early(Str p, Str) { flip_byte(p, 7000); }
    static void append(Str p, Str) { write_text(p, read_text(p) + "x"); }
    static void no_pkg(Str p, Str) { std::remove(p.c_str()); }
    static void comment(Str, Str s) { edit_line(s, 2, -1, 1, "8"); }
    static void global(Str, Str s) { edit_line(s, 3, 0, 4, "AAAA"); }  // another signature
    static void three_lines(Str, Str s) { edit_line(s, 3, 0, std::string::npos, ""); }
    static void cut_base64(Str, Str s) { edit_line(s, 1, 29, std::string::npos, ""); }
    static void short_last(Str, Str s) { edit_line(s, 3, -1, 1, ""); }
    static void empty(Str, Str s) { write_text(s, ""); }
    static void algorithm(Str, Str s) { edit_line(s, 1, 1, 1, "V"); }  // "ED" (RU..) -> "ET"
    static void no_sig(Str, Str s) { std::remove(s.c_str()); }
    static void sig_dir(Str, Str s) {
        std::remove(s.c_str());
        std::filesystem::create_directory(s);
    }
};

}  // namespace rztest
