// SPDX-License-Identifier: MIT
// `sign --signing-helper CMD`: each Ed25519 signature is made by a program
// of the user's (a KMS client, a PKCS#11 tool, a bridge to an air-gapped
// signer). CMD runs through /bin/sh once per signature, gets the bytes to
// sign on standard input and must write exactly the 64-byte signature to
// standard output and exit 0. Its standard error is the tool's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rztool {

struct SigningHelper {
    std::string command;
    std::string failure;  // why the last call failed, for the report
};

// A rerazera_signer_fn; ctx is a SigningHelper.
int run_signing_helper(void *ctx, const std::uint8_t *message, std::size_t len,
                       std::uint8_t signature[64]);

}  // namespace rztool
