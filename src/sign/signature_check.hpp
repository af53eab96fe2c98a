// SPDX-License-Identifier: MIT
// Checking a signature, in the order that reads the least before refusing:
// the signature file, its algorithm and key, then the file's bytes, then the
// trusted comment. Results are the RERAZERA_SIGN_ codes of rerazera/sign.h.
#pragma once

#include <cstdint>
#include <optional>

#include "rerazera/sign.h"
#include "sign/keyring.hpp"
#include "sign/signature_file.hpp"
#include "verify/mapping.hpp"

namespace rerazera::sign {

// Reads and parses the signature file: NO_SIGNATURE, IO_ERROR, MALFORMED
// or OK with sig filled.
std::int32_t load_signature(const char *sigPath, std::optional<SignatureFile> &sig);

// The algorithm (the legacy one only with RERAZERA_SIGN_ALLOW_LEGACY), then
// the key: ALGORITHM_REFUSED, REVOKED_KEY, UNKNOWN_KEY or OK with key set.
std::int32_t select_key(const SignatureFile &sig, const Keyring &ring, std::uint32_t flags,
                        const PublicKey *&key);

// The file's signature over its bytes, then the global signature over the
// file signature and the trusted comment: MISMATCH, COMMENT_FORGED or OK.
std::int32_t check_signed_bytes(const SignatureFile &sig, const PublicKey &key,
                                const std::uint8_t *data, std::size_t size,
                                const PageFeeder *feeder = nullptr);

}  // namespace rerazera::sign

namespace rerazera::sign {

// The whole check of the file at path against the signature file at
// sigPath, the file read through one mapping of any size. sig is filled
// once the signature file parses, whatever the result.
std::int32_t check_file_signature(const Keyring &ring, const char *path, const char *sigPath,
                                  std::uint32_t flags, std::optional<SignatureFile> &sig);

}  // namespace rerazera::sign
