// SPDX-License-Identifier: MIT
// The manifest that `unpack` writes and `pack --manifest` reads: everything
// of a package but its payloads, so that the payloads and this one file give
// the package back byte for byte, or with edits where the user made them.
//
// Positions are those of the unpacked package. They order the pieces and
// prove that nothing is missing (header, sub-files, the extension's table
// and the gaps between them tile the file); pack computes the new ones.
//
// A checksum is kept as the package stored it, with the value its bytes
// gave when that differs ("*_computed"). Pack writes the stored value
// when the checksummed bytes still give the value they gave at unpack time
// (so even a damaged checksum comes back unchanged), and the correct
// checksum as soon as the bytes changed.
//
// Entries may describe the same bytes. Each byte still belongs to one
// piece: an entry inside another one's range names that owner (bytesOf,
// at) and carries no payload of its own; one that only partly overlaps, or
// covers the header or the extension's table, keeps its descriptor as it
// stands (range). Neither key is written for a package without sharing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package.hpp"
#include "writer/package_writer.hpp"

namespace rztool::manifest {

inline constexpr const char *kFormat = "rerazera-manifest";
// Version 2 writes file IDs as numbers and names checksums as the tool's
// other documents do; version 1 manifests (file IDs as "0x..." text,
// "header_crc", "*_actual") are still read.
inline constexpr int kVersion = 2;
inline constexpr int kOldestVersion = 1;
inline constexpr const char *kFileName = "manifest.json";
// Bounds on what pack reads: a manifest of a million entries is some
// 400 MB, nested 4 levels deep; lines of a line manifest hold one entry.
inline constexpr int kMaxDepth = 8;
inline constexpr std::uint64_t kMaxSize = std::uint64_t{1} << 30;
inline constexpr std::size_t kMaxLine = 64 * 1024;

using rerazera::writer::ByteRun;

struct Checksum {
    std::uint32_t stored = 0;
    std::optional<std::uint16_t> actual;  // when it differs from stored

    // What to write now that the bytes give `computed`.
    [[nodiscard]] std::uint32_t seal(std::uint16_t computed) const {
        return computed == actual.value_or(stored) ? stored : computed;
    }
};

// A bin header beyond its payload.
struct BinRecord {
    std::string name;
    std::string desc;
    std::optional<std::uint32_t> fileId;  // when it is not the descriptor's
    std::uint32_t dataLen = 0;            // at unpack time
    Checksum headCrc;
    std::vector<ByteRun> reserved;
};

struct SubFile {
    Table table = Table::Header;
    std::uint32_t index = 0;
    std::uint32_t fileId = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;  // 0: an empty entry, no bin header or payload
    Checksum crc;
    std::uint32_t aux0 = 0;
    std::uint32_t aux1 = 0;
    BinRecord bin;
    std::string file;  // payload file, relative to the manifest's directory
    // Shared bytes: the position in Manifest::entries of the entry that
    // holds them, and this entry's offset less the owner's.
    std::optional<std::uint32_t> bytesOf;
    std::uint32_t at = 0;
    bool range = false;  // offset and length are written as they stand

    [[nodiscard]] bool shared() const { return bytesOf || range; }
    // An entry with bytes of its own: a bin header and a payload file.
    [[nodiscard]] bool owns() const { return length != 0 && !shared(); }
};

// The dummy bin file (header entry 255) and the second table it carries.
struct Extension {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    Checksum crc;  // of the whole table, tableCrc included
    std::uint32_t aux0 = 0;
    std::uint32_t aux1 = 0;
    std::uint32_t count = 0;  // N at unpack time
    BinRecord bin;
    Checksum tableCrc;
    std::vector<ByteRun> tableReserved;  // preamble bytes 0..31 other than fileNum
};

// Bytes between two pieces, or after the last; stored in `file` unless all
// zero.
struct Gap {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    std::string file;
};

// An entry identical to its owner: its length and checksum follow the
// owner's through edits.
[[nodiscard]] inline bool follows(const SubFile &e, const SubFile &owner) {
    return e.bytesOf && e.at == 0 && e.length == owner.length;
}

struct Manifest {
    std::uint32_t size = 0;  // of the unpacked package
    std::uint32_t fileNum = 0;
    std::uint16_t productType = 0;
    Checksum headerCrc;
    std::vector<ByteRun> headerReserved;
    std::optional<Extension> ext;
    std::vector<Gap> gaps;
    std::vector<SubFile> entries;  // table order: header, then extension
};

// The JSON text in pieces, so that a million entries are written one at a
// time: head() holds everything up to the entries' array.
std::string head(const Manifest &m);
std::string entry_line(const SubFile &e, bool last);
std::string tail();

// Parses a manifest; throws std::invalid_argument (or a JSON exception)
// naming what is wrong.
Manifest parse(const std::string &text);

}  // namespace rztool::manifest
