#include "format/crc.hpp"

#include <array>

namespace rerazera {
namespace {

constexpr std::array<std::uint16_t, 256> make_table() noexcept {
    std::array<std::uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        std::uint16_t reg = static_cast<std::uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = static_cast<std::uint16_t>((reg & 0x8000) ? (reg << 1) ^ 0x1021 : reg << 1);
        }
        table[byte] = reg;
    }
    return table;
}

constexpr auto kTable = make_table();

}  // namespace

std::uint16_t crc16_update(std::uint16_t crc, const std::uint8_t *data, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ data[i]) & 0xFF]);
    }
    return crc;
}

}  // namespace rerazera
