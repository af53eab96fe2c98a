// SPDX-License-Identifier: MIT
// Making a signature: Ed25519 over the file's BLAKE2b-512 digest ("ED"),
// then over that signature and the trusted comment.
#pragma once

#include <cstdint>
#include <string>

#include "sign/secret_key.hpp"
#include "sign/signature_file.hpp"

namespace rerazera::sign {

// The trusted comment must be one line of printable text (tabs allowed).
SignatureFile sign_bytes(const SecretKey &key, const std::uint8_t *data, std::size_t size,
                         const std::string &trustedComment);

}  // namespace rerazera::sign
