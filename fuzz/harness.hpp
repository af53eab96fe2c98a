// SPDX-License-Identifier: MIT
// Shared pieces of the fuzz targets.
//
// A host hands the library paths, so the targets do the same: a fuzz input
// that is a package is written to a file on a memory file system and the
// library is called with that file's path. Package targets read their input
// as a small prefix (flags and keys) followed by the package bytes; with the
// reseal flag the harness recomputes every checksum it can find, so the
// mutated package gets past the CRC tests and the deeper checks are reached.
//
// The same target sources are built twice: as libFuzzer programs (clang,
// -fsanitize=fuzzer) and, with gcc, as replay programs that CTest runs over
// the regression inputs and the generated seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rerazera.h"

namespace rzfuzz {

// Inputs above this size are ignored: a package of a few hundred KiB reaches
// every code path (256 entries of 352 bytes need 96 KiB), and small inputs
// keep the executions fast.
inline constexpr std::size_t kMaxInput = 1u << 20;

// Package targets: 8 bytes of prefix, then the package.
inline constexpr std::size_t kPrefixSize = 8;

enum Flag : std::uint8_t {
    kReseal = 1u << 0,            // recompute checksums before the call
    kKeyFromPackage = 1u << 1,    // take lookup keys from the package itself
    kKeyFromExtension = 1u << 2,  // ... from the second table rather than the header
    kAtInPath = 1u << 3,          // give the package a path containing '@'
};

struct Prefix {
    std::uint8_t flags = 0;
    std::uint8_t pick = 0;    // which entry keys are taken from
    std::uint16_t small = 0;  // a small number: message buffer size, read length
    std::uint32_t key = 0;    // a file ID, an offset, or four bytes of key text
};

// Splits an input into prefix and package. False when the input is too
// short for the prefix or larger than kMaxInput.
bool split_input(const std::uint8_t *data, std::size_t size, Prefix &prefix,
                 std::vector<std::uint8_t> &package);

// Builds an input from its parts (the seed generator's side of split_input).
std::vector<std::uint8_t> join_input(const Prefix &prefix,
                                     const std::vector<std::uint8_t> &package);

// Recomputes, where the bytes allow, the payload checksums of every entry of
// the header table and of the second table, every bin header checksum, the
// second table's checksum and the header checksum, innermost first. Works
// on any bytes: ranges that do not fit are left alone.
void reseal(std::vector<std::uint8_t> &package);

// The package targets' common start: split the input and, when the prefix
// asks for it, reseal the package. False when the input is unusable.
bool take_package(const std::uint8_t *data, std::size_t size, Prefix &prefix,
                  std::vector<std::uint8_t> &package);

// Big-endian fields of an arbitrary image, bounds-checked: 0 when out of range.
std::uint32_t be32_at(const std::vector<std::uint8_t> &bytes, std::uint64_t pos);

// Raw 24-byte descriptor i of the header table, decoded (zeros when the
// image is too short).
QVFileDesc header_entry(const std::vector<std::uint8_t> &pkg, std::uint32_t i);

// Descriptor i of the second table, when entry 255 leads to one inside the
// image; false otherwise.
bool extension_entry(const std::vector<std::uint8_t> &pkg, std::uint32_t i, QVFileDesc &out);

// Number of descriptors of the second table found inside the image (0 when
// there is none).
std::uint32_t extension_count(const std::vector<std::uint8_t> &pkg);

// The name (field offset 244, 96 bytes) or description (116, 128 bytes) text
// of the bin header at `offset`, cut at its first NUL or at the field's end.
std::string bin_text(const std::vector<std::uint8_t> &pkg, std::uint32_t offset,
                     std::uint32_t field, std::uint32_t width);

// Files on a memory file system (/dev/shm, else $TMPDIR or /tmp), one
// private directory per process, removed at exit.
const std::string &scratch_dir();

// A subdirectory of scratch_dir() for outputs whose name comes from the
// input, removed at exit as well.
const std::string &output_dir();

// Writes bytes to scratch_dir()/name (created or truncated) and returns the
// path. The file is reused from one input to the next.
std::string put_file(const std::string &name, const std::uint8_t *data, std::size_t size);
inline std::string put_file(const std::string &name, const std::vector<std::uint8_t> &bytes) {
    return put_file(name, bytes.data(), bytes.size());
}

// Whole content of a file, or false when it cannot be read.
bool get_file(const std::string &path, std::vector<std::uint8_t> &out);

// Removes a scratch file if present.
void drop_file(const std::string &path);

// Number of open descriptors of the process.
int open_fd_count();

// Ends the process with a message: the library broke a promise the harness
// can check (a wrong result, an out-record written on failure, a leaked
// descriptor). libFuzzer reports it as a crash and keeps the input.
[[noreturn]] void fail(const char *what);

inline void expect(bool ok, const char *what) {
    if (!ok) {
        fail(what);
    }
}

}  // namespace rzfuzz
