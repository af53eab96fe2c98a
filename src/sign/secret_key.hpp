// SPDX-License-Identifier: MIT
// Minisign secret key files.
//
// One base64 line after the comment:
//   "Ed" | kdf (2) | "B2" | salt (32) | opslimit (8, LE) | memlimit (8, LE)
//   | key ID (8) | Ed25519 secret key (64: seed, then public key)
//   | checksum (32)
// The checksum is BLAKE2b-256 of "Ed" | key ID | secret key: it tells a
// wrong password from a right one. With kdf "Sc" the last 104 bytes are
// XORed with a stream of as many bytes derived from the password by scrypt
// (libsodium's crypto_pwhash_scryptsalsa208sha256) with the salt and limits
// of the file; with kdf 0x0000 they are stored as they are.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "sign/public_key.hpp"

namespace rerazera::sign {

// Owner of a secret key: wiped when it goes away.
class SecretKey {
  public:
    SecretKey() noexcept = default;
    SecretKey(const SecretKey &) = delete;
    SecretKey &operator=(const SecretKey &) = delete;
    SecretKey(SecretKey &&other) noexcept;
    SecretKey &operator=(SecretKey &&other) noexcept;
    ~SecretKey();

    // A fresh random key pair with a random key ID.
    static SecretKey generate();

    KeyId id{};
    std::array<std::uint8_t, 64> key{};

    [[nodiscard]] PublicKey public_key() const;
};

enum class SecretKeyProblem {
    Malformed,      // not a minisign secret key file
    NeedsPassword,  // encrypted, and no password was given
    WrongPassword,  // the checksum does not match after decryption
    KdfFailed,      // the key derivation failed (memory)
};

// The work factor minisign asks of scrypt; files asking for more are refused.
inline constexpr std::uint64_t kKdfOpsLimit = 33554432;    // OPSLIMIT_SENSITIVE
inline constexpr std::uint64_t kKdfMemLimit = 1073741824;  // MEMLIMIT_SENSITIVE

// True when the file is password-protected (kdf "Sc").
bool secret_key_file_encrypted(std::string_view content);

// password is ignored for an unencrypted key.
std::variant<SecretKey, SecretKeyProblem> parse_secret_key_file(std::string_view content,
                                                                const std::string *password);

// The file for key; encrypted with password when it is not null, with
// minisign's limits.
std::variant<std::string, SecretKeyProblem> format_secret_key_file(const SecretKey &key,
                                                                   const std::string *password);

inline constexpr std::size_t kSecretKeyBlobSize = 158;

}  // namespace rerazera::sign
