// SPDX-License-Identifier: MIT
// The fixed key pair and signed file shared by the signature fuzz target and
// its seed generator, so that seeds carry signatures the target's keyring
// trusts and mutations start from inputs that pass every check.
#pragma once

#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "sign/secret_key.hpp"

namespace rzfuzz {

inline constexpr char kSignedText[] = "a package the signature fuzz target checks\n";

// A key pair from a fixed seed, with a fixed key ID.
inline rerazera::sign::SecretKey fixed_key() {
    rerazera::sign::SecretKey key;
    std::uint8_t seed[crypto_sign_SEEDBYTES];
    std::uint8_t pk[crypto_sign_PUBLICKEYBYTES];
    for (std::size_t i = 0; i < sizeof seed; ++i) {
        seed[i] = static_cast<std::uint8_t>(i * 13 + 5);
    }
    crypto_sign_seed_keypair(pk, key.key.data(), seed);
    for (std::size_t i = 0; i < key.id.size(); ++i) {
        key.id[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return key;
}

}  // namespace rzfuzz
