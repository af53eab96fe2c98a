// SPDX-License-Identifier: MIT
#include "sign/public_key.hpp"

#include <cstring>

#include "sign/base64.hpp"
#include "sign/text_lines.hpp"

namespace rerazera::sign {

std::string key_id_text(const KeyId &id) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = id.size(); i-- > 0;) {  // little-endian: last byte first
        text += kDigits[id[i] >> 4];
        text += kDigits[id[i] & 0xF];
    }
    return text;
}

std::optional<KeyId> parse_key_id_text(std::string_view text) {
    if (text.size() != 16) {
        return std::nullopt;
    }
    KeyId id{};
    for (std::size_t i = 0; i < id.size(); ++i) {
        const int hi = hex_digit(text[2 * i]);
        const int lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        id[id.size() - 1 - i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return id;
}

std::optional<PublicKey> parse_public_key_base64(std::string_view text) {
    const auto blob = base64_decode(trim(text), kPublicKeyBlobSize);
    if (!blob || std::memcmp(blob->data(), kKeyAlgorithm.data(), 2) != 0) {
        return std::nullopt;
    }
    PublicKey key;
    std::memcpy(key.id.data(), blob->data() + 2, key.id.size());
    std::memcpy(key.key.data(), blob->data() + 10, key.key.size());
    return key;
}

std::optional<PublicKey> parse_public_key_file(std::string_view content) {
    const std::vector<std::string_view> lines = split_lines(content);
    std::size_t at = 0;
    if (!lines.empty() && lines[0].starts_with(kUntrustedPrefix)) {
        at = 1;
    }
    if (at >= lines.size() || !only_empty_from(lines, at + 1)) {
        return std::nullopt;
    }
    return parse_public_key_base64(lines[at]);
}

std::string format_public_key_file(const PublicKey &key) {
    std::uint8_t blob[kPublicKeyBlobSize];
    std::memcpy(blob, kKeyAlgorithm.data(), 2);
    std::memcpy(blob + 2, key.id.data(), key.id.size());
    std::memcpy(blob + 10, key.key.data(), key.key.size());
    return std::string(kUntrustedPrefix) + "minisign public key " + key_id_text(key.id) + "\n" +
           base64_encode(blob, sizeof blob) + "\n";
}

}  // namespace rerazera::sign
