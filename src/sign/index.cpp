// SPDX-License-Identifier: MIT
#include "sign/index.hpp"

#include <sodium.h>

#include <algorithm>
#include <charconv>

#include "rerazera/sign.h"

namespace rerazera::sign {
namespace {

constexpr std::string_view kMagic = "rerazera-index 1";

std::string_view digest_name(std::uint32_t digest) {
    return digest == RERAZERA_INDEX_SHA256 ? "sha-256" : "blake2b-256";
}

// Reads the text line by line; every line ends with '\n'.
class Lines {
  public:
    explicit Lines(std::string_view text) : rest_(text) {}

    std::optional<std::string_view> next() {
        const std::size_t nl = rest_.find('\n');
        if (nl == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view line = rest_.substr(0, nl);
        rest_.remove_prefix(nl + 1);
        return line;
    }
    [[nodiscard]] bool done() const { return rest_.empty(); }
    [[nodiscard]] std::size_t left() const { return rest_.size(); }

  private:
    std::string_view rest_;
};

// A decimal number without sign or leading zeros, at most max.
std::optional<std::uint64_t> number(std::string_view s, std::uint64_t max) {
    if (s.empty() || (s.size() > 1 && s[0] == '0')) {
        return std::nullopt;
    }
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || end != s.data() + s.size() || v > max) {
        return std::nullopt;
    }
    return v;
}

// "name value" exactly, one space between.
std::optional<std::uint64_t> field(std::optional<std::string_view> line, std::string_view name,
                                   std::uint64_t max) {
    if (!line || line->size() <= name.size() + 1 || line->substr(0, name.size()) != name ||
        (*line)[name.size()] != ' ') {
        return std::nullopt;
    }
    return number(line->substr(name.size() + 1), max);
}

// Splits "a b c d" into exactly n words.
bool words(std::string_view line, std::string_view *out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t sp = i + 1 == n ? line.size() : line.find(' ');
        if (sp == std::string_view::npos || sp == 0) {
            return false;
        }
        out[i] = line.substr(0, sp);
        line.remove_prefix(i + 1 == n ? sp : sp + 1);
    }
    return line.empty();
}

std::optional<BlockDigest> hex_digest(std::string_view s) {
    BlockDigest d{};
    if (s.size() != 2 * d.size()) {
        return std::nullopt;
    }
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    for (std::size_t i = 0; i < d.size(); ++i) {
        const int hi = nibble(s[2 * i]);
        const int lo = nibble(s[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        d[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return d;
}

}  // namespace

bool valid_block_size(std::uint32_t block) {
    return block >= RERAZERA_INDEX_MIN_BLOCK && block <= RERAZERA_INDEX_MAX_BLOCK &&
           (block & (block - 1)) == 0;
}

bool known_digest(std::uint32_t digest) {
    return digest == RERAZERA_INDEX_BLAKE2B_256 || digest == RERAZERA_INDEX_SHA256;
}

BlockDigest block_digest(std::uint32_t digest, const std::uint8_t *data,
                         std::size_t size) noexcept {
    BlockDigest out{};
    if (digest == RERAZERA_INDEX_SHA256) {
        crypto_hash_sha256(out.data(), data, size);
    } else {
        crypto_generichash(out.data(), out.size(), data, size, nullptr, 0);
    }
    return out;
}

std::string format_index(const Index &index) {
    std::string text;
    text.reserve(128 + index.entries.size() * 40 + index.blocks.size() * 65);
    text += kMagic;
    text += "\ndigest ";
    text += digest_name(index.digest);
    text += "\nsize " + std::to_string(index.size);
    text += "\nblock " + std::to_string(index.block);
    text += "\nproduct-type " + std::to_string(index.productType);
    text += "\nentries " + std::to_string(index.entries.size()) + "\n";
    for (const IndexEntry &e : index.entries) {
        text += "entry " + std::to_string(e.table) + " " + std::to_string(e.index) + " " +
                std::to_string(e.offset) + " " + std::to_string(e.length) + "\n";
    }
    text += "blocks " + std::to_string(index.blocks.size()) + "\n";
    static constexpr char kHex[] = "0123456789abcdef";
    for (const BlockDigest &d : index.blocks) {
        for (const std::uint8_t b : d) {
            text += kHex[b >> 4];
            text += kHex[b & 15];
        }
        text += '\n';
    }
    return text;
}

std::optional<Index> parse_index(std::string_view text) {
    if (text.size() > RERAZERA_INDEX_MAX_FILE) {
        return std::nullopt;
    }
    Lines lines(text);
    Index index;
    if (lines.next() != kMagic) {
        return std::nullopt;
    }
    const std::optional<std::string_view> digest = lines.next();
    if (digest == "digest blake2b-256") {
        index.digest = RERAZERA_INDEX_BLAKE2B_256;
    } else if (digest == "digest sha-256") {
        index.digest = RERAZERA_INDEX_SHA256;
    } else {
        return std::nullopt;
    }
    const auto size = field(lines.next(), "size", kIndexMaxPackage);
    const auto block = field(lines.next(), "block", RERAZERA_INDEX_MAX_BLOCK);
    const auto productType = field(lines.next(), "product-type", UINT32_MAX);
    const auto entries = field(lines.next(), "entries", kIndexMaxEntries);
    if (!size || *size < kIndexMinPackage || !block ||
        !valid_block_size(static_cast<std::uint32_t>(*block)) || !productType || !entries) {
        return std::nullopt;
    }
    index.size = *size;
    index.block = static_cast<std::uint32_t>(*block);
    index.productType = static_cast<std::uint32_t>(*productType);
    // Never more room than the remaining text could fill.
    index.entries.reserve(std::min<std::uint64_t>(*entries, lines.left() / 16));
    for (std::uint64_t i = 0; i < *entries; ++i) {
        const std::optional<std::string_view> line = lines.next();
        std::string_view w[5];
        if (!line || !words(*line, w, 5) || w[0] != "entry") {
            return std::nullopt;
        }
        const auto table = number(w[1], 1);
        const auto pos = table ? number(w[2], *table == 0 ? 255 : 1048574) : std::nullopt;
        const auto offset = number(w[3], index.size - 1);
        const auto length = number(w[4], index.size);
        if (!pos || !offset || !length || *length == 0 || *length > index.size - *offset) {
            return std::nullopt;
        }
        index.entries.push_back({static_cast<std::uint32_t>(*table),
                                 static_cast<std::uint32_t>(*pos), *offset, *length});
    }
    const std::uint64_t expected = (index.size + index.block - 1) / index.block;
    const auto count = field(lines.next(), "blocks", expected);
    if (!count || *count != expected) {
        return std::nullopt;
    }
    index.blocks.reserve(expected);
    for (std::uint64_t i = 0; i < expected; ++i) {
        const std::optional<std::string_view> line = lines.next();
        const std::optional<BlockDigest> d = line ? hex_digest(*line) : std::nullopt;
        if (!d) {
            return std::nullopt;
        }
        index.blocks.push_back(*d);
    }
    if (!lines.done()) {
        return std::nullopt;
    }
    return index;
}

const IndexEntry *entry_in(const Index &index, std::uint64_t offset, std::uint64_t length) {
    const IndexEntry *best = nullptr;
    for (const IndexEntry &e : index.entries) {
        if (e.offset < offset + length && offset < e.offset + e.length &&
            (best == nullptr || e.offset < best->offset)) {
            best = &e;
        }
    }
    return best;
}

}  // namespace rerazera::sign
