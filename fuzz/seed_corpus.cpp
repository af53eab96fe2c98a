// SPDX-License-Identifier: MIT
// Writes the fuzzers' seed corpora, built by the project's package writer,
// so no binary package is kept in the repository.
//
// Usage: rerazera_fuzz_seeds OUTDIR
// Creates OUTDIR/<target>/<seed> for every target: valid packages (small,
// with the rpg file, with an extension, with an empty extension, 256 plain
// entries), edge cases (a header alone, zero-length entries, full-width
// texts, 257 entries), standalone bin files and single sub-files.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "harness.hpp"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::Package;
using rerazera::writer::PackageBuilder;
using rerazera::writer::RawDesc;
using rerazera::writer::SubFile;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kRpg = 0xFF005638u;

Bytes payload(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return b;
}

// 255 header entries: one real sub-file and 254 descriptors of that same
// sub-file, which keeps a package with an extension small.
PackageBuilder with_255_entries(std::uint32_t firstId) {
    const SubFile first{firstId, "boot.bin", "bootloader stage 1", payload(64, 1)};
    PackageBuilder b;
    b.add(first);
    const Package probe = PackageBuilder().add(first).build();
    const std::uint32_t len = probe.be32(Package::entry_field(0, 8));
    const std::uint32_t crc = probe.be32(Package::entry_field(0, 12));
    for (std::uint32_t i = 1; i < 255; ++i) {
        b.add_raw(RawDesc{0x1000 + i, QVPKG_HEADER_SIZE, len, crc, i, 0});
    }
    return b;
}

std::vector<std::pair<std::string, Bytes>> packages() {
    std::vector<std::pair<std::string, Bytes>> out;
    out.emplace_back("two-files",
                     PackageBuilder()
                         .product_type(0x1234)
                         .add(SubFile{0x10, "boot.bin", "bootloader", payload(16, 3)})
                         .add(SubFile{0x20, "kernel.bin", "kernel image", payload(1000, 9)})
                         .build()
                         .bytes);
    out.emplace_back("rpg", PackageBuilder()
                                .add(SubFile{0x10, "app.bin", "application", payload(40, 5)})
                                .add(SubFile{kRpg, "rpg.bin", "rpg file", payload(8, 2)})
                                .build()
                                .bytes);
    out.emplace_back(
        "extension",
        with_255_entries(0x10)
            .add_extend(SubFile{0x5001, "ext1.bin", "first extend", payload(32, 4)})
            .add_extend(SubFile{kRpg, "rpg.bin", "rpg in the extension", payload(8, 6)})
            .add_extend(SubFile{0x10, "dup.bin", "same ID as entry 0", {}})
            .build()
            .bytes);
    out.emplace_back("empty-extension",
                     with_255_entries(0x11).with_empty_extension().build().bytes);

    // 256 ordinary entries: entry 255 is not the dummy.
    PackageBuilder plain = with_255_entries(0x12);
    plain.add(SubFile{0x99, "last.bin", "entry 255", payload(4, 8)});
    out.emplace_back("256-plain", plain.build().bytes);

    out.emplace_back("header-only", Bytes(QVPKG_HEADER_SIZE, 0));

    // Edge cases: an empty entry, an empty payload, texts filling their
    // fields, two entries with one ID.
    Package edge = PackageBuilder()
                       .add_raw(RawDesc{0x30, QVPKG_HEADER_SIZE, 0, 0, 0, 0})
                       .add(SubFile{0x31, std::string(95, 'n'), std::string(127, 'd'), {}})
                       .add(SubFile{0x31, "second.bin", "same ID", payload(3, 1)})
                       .build();
    out.emplace_back("edges", edge.bytes);

    // 257 entries with a correct checksum.
    Package over = PackageBuilder().add(SubFile{0x40, "a.bin", "a", payload(4, 0)}).build();
    over.set_file_num(257);
    over.reseal_header();
    out.emplace_back("257-entries", over.bytes);
    return out;
}

std::vector<std::pair<std::string, Bytes>> bin_files() {
    std::vector<std::pair<std::string, Bytes>> out;
    out.emplace_back("payload", rerazera::writer::make_bin_file(
                                    SubFile{0x10, "boot.bin", "bootloader", payload(100, 1)}));
    out.emplace_back("empty-payload", rerazera::writer::make_bin_file(SubFile{0x11, "e", "", {}}));
    Bytes trailing = rerazera::writer::make_bin_file(SubFile{0x12, "t", "", payload(10, 2)});
    trailing.insert(trailing.end(), 20, 0xEE);
    out.emplace_back("trailing-bytes", trailing);
    out.emplace_back("header-short", Bytes(351, 0));
    return out;
}

void write_seed(const std::string &dir, const std::string &name, const Bytes &bytes) {
    ::mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
        std::fclose(f) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    ::mkdir(root.c_str(), 0755);
    using rzfuzz::Prefix;
    int count = 0;

    for (const auto &[name, pkg] : packages()) {
        // Keys from the input, keys from entry 0 and 1, from the extension.
        const std::vector<std::pair<std::string, Prefix>> prefixes = {
            {"raw", Prefix{0, 0, 64, 0x10}},
            {"entry0", Prefix{rzfuzz::kKeyFromPackage, 0, 0, 0}},
            {"entry1", Prefix{rzfuzz::kKeyFromPackage, 1, 3, 1}},
            {"ext", Prefix{rzfuzz::kKeyFromPackage | rzfuzz::kKeyFromExtension, 0, 0, 1}},
        };
        for (const auto &[tag, prefix] : prefixes) {
            for (const char *target : {"lookup", "extract"}) {
                write_seed(root + "/" + target, name + "-" + tag, rzfuzz::join_input(prefix, pkg));
                ++count;
            }
        }
        write_seed(root + "/header", name,
                   rzfuzz::join_input(Prefix{0, 0, 352, QVPKG_HEADER_SIZE}, pkg));
        write_seed(root + "/verify", name, rzfuzz::join_input(Prefix{0, 0, 255, 0}, pkg));
        write_seed(root + "/verify", name + "-at",
                   rzfuzz::join_input(Prefix{rzfuzz::kAtInPath, 0, 40, 0}, pkg));
        // The stream: whole, in pieces of up to 4 KiB resumed after the
        // second, and (small packages) byte by byte resumed after the 200th.
        write_seed(root + "/stream", name, rzfuzz::join_input(Prefix{0, 255, 0, 0}, pkg));
        write_seed(root + "/stream", name + "-pieces",
                   rzfuzz::join_input(Prefix{0, 2, 12, 0x5eed}, pkg));
        count += 5;
        if (name == "extension") {
            // Extend subfile 0 placed on header entry 0's sub-file, before
            // the second table: the stream's second pass (resealed).
            Bytes before = pkg;
            const std::uint32_t dummy = rzfuzz::header_entry(pkg, 255).offset;
            const QVFileDesc first = rzfuzz::header_entry(pkg, 0);
            const std::size_t at = std::size_t{dummy} + 352 + 32 + 4;
            for (int k = 0; k < 4; ++k) {
                before[at + k] = static_cast<std::uint8_t>(first.offset >> (24 - 8 * k));
                before[at + 4 + k] = static_cast<std::uint8_t>(first.length >> (24 - 8 * k));
            }
            write_seed(root + "/stream", name + "-before-table",
                       rzfuzz::join_input(Prefix{rzfuzz::kReseal, 1, 9, 7}, before));
            ++count;
        }
        if (pkg.size() < 200'000) {
            write_seed(root + "/stream", name + "-bytes",
                       rzfuzz::join_input(Prefix{0, 200, 21, 24}, pkg));
            ++count;
        }
    }
    for (const auto &[name, bin] : bin_files()) {
        write_seed(root + "/strip", name, bin);
        // The sub-file test: a descriptor (its length is the input's), then
        // the sub-file.
        Bytes desc(24, 0);
        desc[3] = 0x10;
        if (bin.size() >= 352) {
            const std::uint32_t dataLen = (std::uint32_t{bin[340]} << 24) |
                                          (std::uint32_t{bin[341]} << 16) |
                                          (std::uint32_t{bin[342]} << 8) | bin[343];
            const std::uint16_t crc = rerazera::writer::crc16(
                bin.data() + 352, std::min<std::size_t>(dataLen, bin.size() - 352));
            desc[14] = static_cast<std::uint8_t>(crc >> 8);
            desc[15] = static_cast<std::uint8_t>(crc);
        }
        Bytes sub;
        sub.reserve(desc.size() + bin.size());
        for (const Bytes *part : std::initializer_list<const Bytes *>{&desc, &bin}) {
            for (const std::uint8_t byte : *part) {
                sub.push_back(byte);
            }
        }
        write_seed(root + "/subfile", name, rzfuzz::join_input(Prefix{0, 0, 255, 0}, sub));
        write_seed(root + "/subfile", name + "-short-msg",
                   rzfuzz::join_input(Prefix{rzfuzz::kReseal, 0, 7, 0}, sub));
        count += 3;
    }
    std::printf("wrote %d seeds under %s\n", count, root.c_str());
    return 0;
}
