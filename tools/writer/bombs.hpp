// SPDX-License-Identifier: MIT
// Packages whose entries claim far more bytes than the file holds: valid
// ones, and ones with a failing entry among valid ones. They test that
// verification costs what the file is, not what its entries claim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package_writer.hpp"

namespace rerazera::writer {

// 255 empty header entries, then an extension of `copies` entries that all
// describe one sub-file with a payload of `payload` bytes.
Package identical_ranges(std::uint32_t copies, std::size_t payload);

// One header sub-file whose payload holds `count` bin headers at staggered
// offsets (none on a 1 KiB boundary); the extension lists each of them as a
// sub-file running to the end of the big one, every one valid.
Package staggered_starts(std::uint32_t count, std::size_t payload);

// All 256 header entries describe the one sub-file that fills the file.
Package header_cover(std::size_t payload);

// Extension entries alternating in pairs between two sub-files, with entry badCrc
// given a wrong checksum and entry badLength a length past the file (either
// may be past the end, hence absent).
Package mixed_ranges(std::uint32_t copies, std::size_t payload, std::uint32_t badCrc,
                     std::uint32_t badLength);

struct Bomb {
    std::string name;
    Package pkg;
};
// A small corpus of each kind, for tests and fuzz seeds.
std::vector<Bomb> bomb_corpus();

}  // namespace rerazera::writer
