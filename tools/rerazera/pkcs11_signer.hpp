// SPDX-License-Identifier: MIT
// `sign --pkcs11 URI` and `keygen --pkcs11 URI`: an Ed25519 key held in a
// PKCS#11 token. p11-kit parses the URI (RFC 7512) and loads the module:
// the one named by module-path=, else the modules registered with p11-kit.
// The URI must pick exactly one token and one private key on it; the
// public key is the CKA_EC_POINT of the public key object with the same
// CKA_ID. The key ID of a token key is the first 8 bytes of BLAKE2b-256 of
// its 32-byte public key, so keygen and sign agree on it without a file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace rztool {

class Pkcs11Key;

// Whether the tool was built with p11-kit.
bool pkcs11_available();

// Opens the token key the URI names, logged in with the URI's PIN
// (pin-value=, pin-source=), else the first line of passwordFd (>= 0), else
// one asked on the terminal. nullptr after reporting why on stderr.
std::shared_ptr<Pkcs11Key> pkcs11_open(const std::string &uri, int passwordFd);

// The key's 32-byte Ed25519 public key.
const std::array<std::uint8_t, 32> &pkcs11_public_key(const Pkcs11Key &key);

// The minisign public key file's text for the key, with its derived key ID;
// idText receives that ID as minisign prints it.
std::string pkcs11_public_key_file(const Pkcs11Key &key, std::string &idText);

// Whether the minisign public key file at path holds the key's public
// key; false after reporting why.
bool pkcs11_matches_key_file(const Pkcs11Key &key, const std::string &path);

// Why the last signature failed, for the report ("" when none did).
const std::string &pkcs11_failure(const Pkcs11Key &key);

// A rerazera_signer_fn; ctx is a Pkcs11Key.
int pkcs11_sign(void *ctx, const std::uint8_t *message, std::size_t len,
                std::uint8_t signature[64]);

}  // namespace rztool
