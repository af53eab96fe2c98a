// SPDX-License-Identifier: MIT
// Seeds for the manifest target, written by unpack's manifest writer: a
// package of plain entries, one with an extension, gaps and reserved bytes,
// checksums that were wrong at unpack time, and entries that share bytes.
//   rerazera_fuzz_manifest_seeds DIR    writes DIR/manifest/*.json
#include <filesystem>
#include <fstream>
#include <string>

#include "manifest.hpp"

namespace {

namespace mf = rztool::manifest;

mf::SubFile entry(rztool::Table table, std::uint32_t index, std::uint32_t id, std::uint32_t offset,
                  std::uint32_t payload) {
    mf::SubFile s;
    s.table = table;
    s.index = index;
    s.fileId = id;
    s.offset = offset;
    s.length = 352 + payload;
    s.crc = mf::Checksum{0x1234, std::nullopt};
    s.bin.name = "part" + std::to_string(index) + ".bin";
    s.bin.desc = "Part \"" + std::to_string(index) + "\"\t";
    s.bin.dataLen = payload;
    s.bin.headCrc = mf::Checksum{0xbeef, std::nullopt};
    s.file = s.bin.name;
    return s;
}

void write(const std::filesystem::path &dir, const std::string &name, const mf::Manifest &m) {
    std::ofstream out(dir / name, std::ios::binary);
    out << mf::head(m);
    for (std::size_t i = 0; i < m.entries.size(); ++i) {
        out << mf::entry_line(m.entries[i], i + 1 == m.entries.size());
    }
    out << mf::tail();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        return 2;
    }
    const std::filesystem::path dir = std::filesystem::path(argv[1]) / "manifest";
    std::filesystem::create_directories(dir);

    mf::Manifest plain;
    plain.size = 6180 + 352 + 10 + 352 + 20;
    plain.fileNum = 2;
    plain.productType = 0x2a;
    plain.headerCrc = mf::Checksum{0x4321, 0x1111};
    plain.entries = {entry(rztool::Table::Header, 0, 1, 6180, 10),
                     entry(rztool::Table::Header, 1, 0xFFFFFFFF, 6542, 20)};
    plain.entries[1].crc.actual = 0x0bad;
    plain.entries[1].bin.fileId = 7;
    plain.entries[1].bin.reserved = {rerazera::writer::ByteRun{100, {1, 2, 3}}};
    write(dir, "plain.json", plain);

    mf::Manifest ext = plain;
    ext.fileNum = 256;
    ext.headerReserved = {rerazera::writer::ByteRun{6000, {9}}};
    mf::Extension x;
    x.offset = 7000;
    x.length = 352 + 32 + 3 * 24 + 4;
    x.count = 3;
    x.bin.name = "dummy";
    x.bin.dataLen = 32 + 3 * 24 + 4;
    x.tableReserved = {rerazera::writer::ByteRun{8, {0xff}}};
    ext.ext = x;
    ext.gaps = {mf::Gap{6900, 100, "gap-6900.bin"}, mf::Gap{8000, 16, ""}};
    for (std::uint32_t i = 0; i < 3; ++i) {
        ext.entries.push_back(entry(rztool::Table::Extension, i, 0x5000 + i, 9000 + 400 * i, 40));
    }
    write(dir, "extension.json", ext);

    mf::Manifest shared = plain;
    mf::SubFile same = plain.entries[0];
    same.index = 2;
    same.fileId = 3;
    same.bytesOf = 0;
    same.file.clear();
    mf::SubFile ranged = plain.entries[1];
    ranged.index = 3;
    ranged.fileId = 4;
    ranged.range = true;
    ranged.file.clear();
    shared.entries.push_back(same);
    shared.entries.push_back(ranged);
    shared.fileNum = 4;
    write(dir, "shared.json", shared);
    return 0;
}
