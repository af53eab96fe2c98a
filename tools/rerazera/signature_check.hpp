// SPDX-License-Identifier: MIT
// The signature part of `rerazera verify`: the trusted keys from --key,
// --keyring and --revoke, and one signed check per package through
// librerazera-sign (the signature, then the package's own checks, over one
// reading of the file), then the device's policy: the trusted comment's
// product type held against the package header's (and against
// --product-type), and its version against --min-version.
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
    std::string sigPath;      // --sig: the signature file, instead of PACKAGE.minisig
    std::string productType;  // --product-type: the device's
    std::string minVersion;   // --min-version: the oldest release accepted

    [[nodiscard]] bool enabled() const { return !keys.empty() || !keyrings.empty(); }
};

void add_signature_options(CLI::App *cmd, SignatureOptions &opt);

// The keyring, owned; loaded once and shared by every worker.
using KeyringPtr = std::unique_ptr<rerazera_keyring, decltype(&rerazera_keyring_free)>;
// Reports what cannot be loaded and returns null.
KeyringPtr load_keyring(const SignatureOptions &opt);

// The policy over ring, owned; like the keyring, made once and shared.
using PolicyPtr = std::unique_ptr<rerazera_policy, decltype(&rerazera_policy_free)>;
// Reports an option that cannot be used and returns null.
PolicyPtr make_policy(const rerazera_keyring *ring, const SignatureOptions &opt);

struct SignatureVerdict {
    std::int32_t code = RERAZERA_SIGN_NO_SIGNATURE;
    std::string keyId;
    std::string trustedComment;
    bool commentVerified = false;
    bool legacy = false;
    std::optional<std::uint32_t> signedType;   // product-type field of the comment
    std::optional<std::uint32_t> packageType;  // the header's
    std::optional<std::string> signedVersion;  // version field of the comment
    bool packageChecked = false;               // the package walk ran

    // The signature, the package and the policy all passed.
    [[nodiscard]] bool passed() const { return code == RERAZERA_SIGN_OK; }
};

// The signed check of one package under policy; result and verdict receive
// the package check's code and text when it ran. sigPath empty: the
// signature beside the package.
SignatureVerdict check_signed_package(const rerazera_policy *policy, const std::string &path,
                                      const std::string &sigPath, std::int32_t &result,
                                      std::string &verdict);

// "  signature: ..." lines for the text report.
void print_signature(const SignatureVerdict &v);
ojson signature_json(const SignatureVerdict &v);

}  // namespace rztool
