// SPDX-License-Identifier: MIT
// Minisign public keys and key IDs.
//
// A public key file holds an untrusted comment line and the base64 of
// "Ed" | key ID (8 bytes) | Ed25519 public key (32 bytes). The key ID names
// the key pair in every signature it makes; minisign prints it as the 8
// bytes read as a little-endian integer, in 16 upper-case hex digits.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rerazera::sign {

using KeyId = std::array<std::uint8_t, 8>;
using Ed25519PublicKey = std::array<std::uint8_t, 32>;

inline constexpr std::size_t kPublicKeyBlobSize = 2 + 8 + 32;
inline constexpr std::string_view kKeyAlgorithm = "Ed";

struct PublicKey {
    KeyId id{};
    Ed25519PublicKey key{};
};

// "AC18D4B35D03F98A" for the bytes 8A F9 03 5D B3 D4 18 AC.
std::string key_id_text(const KeyId &id);
// The inverse, for 16 hex digits of either case; nullopt for anything else.
std::optional<KeyId> parse_key_id_text(std::string_view text);

// The base64 line alone (surrounding white space ignored).
std::optional<PublicKey> parse_public_key_base64(std::string_view text);
// A whole public key file: the comment line, then the base64 line; a file
// holding only the base64 line is taken too. Nothing else may follow.
std::optional<PublicKey> parse_public_key_file(std::string_view content);
// The file as minisign writes it.
std::string format_public_key_file(const PublicKey &key);

// Public key files are a few hundred bytes; longer ones are refused unread.
inline constexpr std::size_t kMaxKeyFileSize = 4096;

}  // namespace rerazera::sign
