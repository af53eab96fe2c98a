// SPDX-License-Identifier: MIT
#include "bombs.hpp"

#include "format/layout.hpp"

namespace rerazera::writer {
namespace {

constexpr std::uint32_t kHeader = layout::header::kSize;
constexpr std::uint32_t kBin = layout::bin::kSize;

std::vector<std::uint8_t> filler(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<std::uint8_t>(seed >> 23);
    }
    return bytes;
}

PackageBuilder empty_header(std::uint32_t entries) {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < entries; ++i) {
        b.add_raw(RawDesc{0x100 + i, 0, 0, 0, 0, 0});
    }
    return b;
}

// Where the first extend sub-file goes behind a table of n entries, when
// the header's entries hold `headerBytes` of sub-files.
std::uint32_t first_extend(std::uint32_t n, std::uint32_t headerBytes) {
    return static_cast<std::uint32_t>(kHeader + headerBytes + kBin + layout::table::size(n));
}

}  // namespace

Package identical_ranges(std::uint32_t copies, std::size_t payload) {
    const SubFile big{0x5000, "big", "", filler(payload, 1)};
    const std::uint32_t at = first_extend(copies, 0);
    const RawDesc same{
        0x5000, at, static_cast<std::uint32_t>(kBin + payload), crc16(big.payload.data(), payload),
        0,      0};
    PackageBuilder b = empty_header(255);
    b.add_extend(big);
    for (std::uint32_t i = 1; i < copies; ++i) {
        b.add_extend_raw(same);
    }
    return b.build();
}

Package staggered_starts(std::uint32_t count, std::size_t payload) {
    SubFile big{0x6000, "big", "", filler(payload, 2)};
    std::vector<RawDesc> descs;
    std::size_t at = 0;
    for (std::uint32_t j = 0; j < count; ++j) {
        at += kBin + 1000 + 13 * (j % 7);  // never on a granule
        if (at + kBin > payload) {
            break;
        }
        const auto dataLen = static_cast<std::uint32_t>(payload - at - kBin);
        const auto h = make_bin_header(SubFile{0x6100 + j, "s", "", {}}, dataLen, 0x6100 + j);
        std::copy(h.begin(), h.end(), big.payload.begin() + static_cast<std::ptrdiff_t>(at));
        descs.push_back(RawDesc{0x6100 + j, static_cast<std::uint32_t>(kHeader + kBin + at),
                                static_cast<std::uint32_t>(payload - at), 0, 0, 0});
    }
    for (RawDesc &d : descs) {
        const std::size_t from = d.offset - kHeader;  // its payload, within the big one
        d.crc = crc16(big.payload.data() + from, payload - from);
    }
    PackageBuilder b;
    b.add(big);
    for (std::uint32_t i = 1; i < 255; ++i) {
        b.add_raw(RawDesc{0x100 + i, 0, 0, 0, 0, 0});
    }
    for (const RawDesc &d : descs) {
        b.add_extend_raw(d);
    }
    return b.build();
}

Package header_cover(std::size_t payload) {
    const SubFile big{0x7000, "big", "", filler(payload, 3)};
    const RawDesc same{0x7000,
                       kHeader,
                       static_cast<std::uint32_t>(kBin + payload),
                       crc16(big.payload.data(), payload),
                       0,
                       0};
    PackageBuilder b;
    b.add(big);
    for (std::uint32_t i = 1; i < 256; ++i) {
        b.add_raw(same);
    }
    return b.build();
}

Package mixed_ranges(std::uint32_t copies, std::size_t payload, std::uint32_t badCrc,
                     std::uint32_t badLength) {
    const SubFile a{0x8000, "a", "", filler(payload, 4)};
    const SubFile c{0x8001, "c", "", filler(payload / 2 + 5, 5)};
    const std::uint32_t atA = first_extend(copies, 0);
    const auto lenA = static_cast<std::uint32_t>(kBin + a.payload.size());
    const RawDesc da{0x8000, atA, lenA, crc16(a.payload.data(), a.payload.size()), 0, 0};
    const RawDesc dc{0x8001,
                     atA + lenA,
                     static_cast<std::uint32_t>(kBin + c.payload.size()),
                     crc16(c.payload.data(), c.payload.size()),
                     0,
                     0};
    PackageBuilder b = empty_header(255);
    b.add_extend(a).add_extend(c);
    for (std::uint32_t i = 2; i < copies; ++i) {
        RawDesc d = (i / 2) % 2 == 0 ? da : dc;  // pairs: a failure can follow its twin
        d.fileId = 0x9000 + i;
        d.crc ^= i == badCrc ? 1u : 0u;
        d.length += i == badLength ? lenA : 0u;
        b.add_extend_raw(d);
    }
    return b.build();
}

std::vector<Bomb> bomb_corpus() {
    return {
        {"identical ranges", identical_ranges(600, 20000)},
        {"identical, empty payloads", identical_ranges(300, 0)},
        {"staggered starts", staggered_starts(60, 90000)},
        {"header entries cover the file", header_cover(40000)},
        {"mixed, bad checksum first", mixed_ranges(400, 9000, 301, 350)},
        {"mixed, length past the file first", mixed_ranges(400, 9000, 390, 123)},
        {"mixed, all valid", mixed_ranges(400, 9000, 0, 0)},
    };
}

}  // namespace rerazera::writer
