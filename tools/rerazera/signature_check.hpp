// SPDX-License-Identifier: MIT
// The signature part of `rerazera verify`: the trusted keys from --key,
// --keyring and --revoke, and one signed check per package through
// librerazera-sign (the signature, then the package's own checks, over one
// reading of the file), with the trusted comment's product type held
// against the package header's.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "json_out.hpp"
#include "rerazera/sign.h"

namespace rztool {

struct SignatureOptions {
    std::vector<std::string> keys;      // public key files
    std::vector<std::string> keyrings;  // directories of *.pub files
    std::vector<std::string> revoked;   // key IDs
    bool allowLegacy = false;

    [[nodiscard]] bool enabled() const { return !keys.empty() || !keyrings.empty(); }
};

void add_signature_options(CLI::App *cmd, SignatureOptions &opt);

// The keyring, owned; loaded once and shared by every worker.
using KeyringPtr = std::unique_ptr<rerazera_keyring, decltype(&rerazera_keyring_free)>;
// Reports what cannot be loaded and returns null.
KeyringPtr load_keyring(const SignatureOptions &opt);

struct SignatureVerdict {
    std::int32_t code = RERAZERA_SIGN_NO_SIGNATURE;
    std::string keyId;
    std::string trustedComment;
    bool commentVerified = false;
    bool legacy = false;
    std::optional<std::uint32_t> signedType;   // product-type field of the comment
    std::optional<std::uint32_t> packageType;  // the header's
    bool packageChecked = false;               // the package walk ran

    // The signature holds and the recorded product type (if any) matches.
    [[nodiscard]] bool passed() const;
};

// The signed check of one package; result and verdict receive the package
// check's code and text when it ran.
SignatureVerdict check_signed_package(const rerazera_keyring *ring, const std::string &path,
                                      std::uint32_t flags, std::int32_t &result,
                                      std::string &verdict);

std::uint32_t signature_flags(const SignatureOptions &opt);

// "  signature: ..." lines for the text report.
void print_signature(const SignatureVerdict &v);
ojson signature_json(const SignatureVerdict &v);

}  // namespace rztool
