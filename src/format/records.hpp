// SPDX-License-Identifier: MIT
// Read-only views over record images: fields are decoded from their
// big-endian bytes where they are read, never by casting bytes to structs.
#pragma once

#include <cstdint>

#include "format/big_endian.hpp"
#include "format/layout.hpp"
#include "rerazera.h"

namespace rerazera {

// Decodes one raw 24-byte descriptor into the host-order record.
constexpr QVFileDesc decode_desc(const std::uint8_t *raw) noexcept {
    return QVFileDesc{
        load_be32(raw + layout::desc::kFileId), load_be32(raw + layout::desc::kOffset),
        load_be32(raw + layout::desc::kLength), load_be32(raw + layout::desc::kCrc),
        load_be32(raw + layout::desc::kAux0),   load_be32(raw + layout::desc::kAux1)};
}

// A package header image of layout::header::kSize bytes.
class HeaderView {
  public:
    explicit HeaderView(const std::uint8_t *image) noexcept : p_(image) {}
    explicit HeaderView(const QVHeader *header) noexcept
        : p_(reinterpret_cast<const std::uint8_t *>(header)) {}

    [[nodiscard]] const std::uint8_t *bytes() const noexcept { return p_; }
    [[nodiscard]] std::uint32_t file_num() const noexcept {
        return load_be32(p_ + layout::header::kFileNum);
    }
    [[nodiscard]] std::uint16_t product_type() const noexcept {
        return load_be16(p_ + layout::header::kProductType);
    }
    [[nodiscard]] std::uint32_t header_crc() const noexcept {
        return load_be32(p_ + layout::header::kHeaderCrc);
    }
    // Raw descriptor i, 0 <= i < 256.
    [[nodiscard]] const std::uint8_t *raw_desc(std::uint32_t i) const noexcept {
        return p_ + layout::header::kFileDesc + i * layout::desc::kSize;
    }
    [[nodiscard]] QVFileDesc desc(std::uint32_t i) const noexcept {
        return decode_desc(raw_desc(i));
    }
    [[nodiscard]] std::uint32_t desc_file_id(std::uint32_t i) const noexcept {
        return load_be32(raw_desc(i) + layout::desc::kFileId);
    }

  private:
    const std::uint8_t *p_;
};

// A bin header image of layout::bin::kSize bytes.
class BinHeaderView {
  public:
    explicit BinHeaderView(const std::uint8_t *image) noexcept : p_(image) {}
    explicit BinHeaderView(const BinHeader *header) noexcept
        : p_(reinterpret_cast<const std::uint8_t *>(header)) {}

    [[nodiscard]] const std::uint8_t *bytes() const noexcept { return p_; }
    [[nodiscard]] std::uint32_t head_crc() const noexcept {
        return load_be32(p_ + layout::bin::kHeadCrc);
    }
    [[nodiscard]] std::uint32_t file_id() const noexcept {
        return load_be32(p_ + layout::bin::kFileId);
    }
    [[nodiscard]] std::uint32_t file_num() const noexcept {
        return load_be32(p_ + layout::bin::kFileNum);
    }
    [[nodiscard]] std::uint32_t data_len() const noexcept {
        return load_be32(p_ + layout::bin::kDataLen);
    }
    [[nodiscard]] const char *desc() const noexcept {
        return reinterpret_cast<const char *>(p_ + layout::bin::kDesc);
    }
    [[nodiscard]] const char *name() const noexcept {
        return reinterpret_cast<const char *>(p_ + layout::bin::kName);
    }

  private:
    const std::uint8_t *p_;
};

}  // namespace rerazera
