// SPDX-License-Identifier: MIT
// Signature tests' helpers: running programs, a package, spoiling it (p) or its signature (s).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "writer/package_writer.hpp"

namespace rztest {

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

inline std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline std::string write_text(const std::string &path, const std::string &text) {  // path
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    return path;
}

// Runs argv (argv[0] looked up on PATH) in dir, stdin fed from input, without a terminal.
RunResult run_program(const std::vector<std::string> &argv, const std::string &dir,
                      const std::string &input = "");
RunResult minisign(std::vector<std::string> args, const std::string &dir,
                   const std::string &input = "");
// From "untrusted comment: minisign public key 12345678ABCDEF": zero-padded.
inline std::string key_id_of(const std::string &pubPath) {
    std::string first = read_text(pubPath);
    first.resize(first.find('\n'));
    const std::string id = first.substr(first.rfind(' ') + 1);
    return std::string(16 - id.size(), '0') + id;
}

// Three sub-files, one of 70000 bytes, with product type 0x1234 (4660).
inline rerazera::writer::Package make_package() {
    std::vector<rerazera::writer::SubFile> files(3);
    for (std::uint32_t i = 0; i < 3; ++i) {
        files[i].fileId = 0x100 + i;
        files[i].name = "part" + std::to_string(i);
        files[i].payload.assign(i == 1 ? 70000 : 1000 + i, static_cast<std::uint8_t>(31 * i + 5));
    }
    return rerazera::writer::PackageBuilder::from_files(std::move(files), 0x1234).build();
}

inline void flip_byte(const std::string &path, long at) {  // at < 0: from the end
    std::string bytes = read_text(path);
    bytes[at < 0 ? bytes.size() + static_cast<std::size_t>(at) : at] ^= 0x20;
    write_text(path, bytes);
}

// Replaces count characters at pos (from its end when pos < 0) of line (0-based).
inline void edit_line(const std::string &path, int line, long pos, std::size_t count,
                      const std::string &text) {
    std::string all = read_text(path);
    std::size_t begin = 0;
    for (int i = 0; i < line; ++i)
        begin = all.find('\n', begin) + 1;
    const std::size_t at = pos < 0 ? all.find('\n', begin) + pos : begin + pos;
    write_text(path, all.replace(at, count, text));
}

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
    static void sig_dir(Str, Str s) { no_sig(s, s), std::filesystem::create_directory(s); }
    static void untrusted(Str, Str s) { edit_line(s, 0, 0, 1, "U"); }  // its prefix misspelt
    static void trusted(Str, Str s) { edit_line(s, 2, 0, 1, "T"); }
    static void device(Str p, Str) {
        no_pkg(p, p), std::filesystem::create_symlink("/dev/null", p);
    }
};

}  // namespace rztest
