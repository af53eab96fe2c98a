// SPDX-License-Identifier: MIT
// What a device accepts beyond a valid signature: the product type it is,
// and the lowest release it may go back to. Both come from the trusted
// comment's key:value fields, which the signature authenticates.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sign/keyring.hpp"

namespace rerazera::sign {

// A field of a comment of tab-separated key:value fields.
struct CommentField {
    bool present = false;
    bool repeated = false;  // the key occurs more than once
    std::string_view value;
};
CommentField comment_field(std::string_view comment, std::string_view key);

// Dotted decimal integers, compared field by field; nullopt for a text that
// is not a version.
std::optional<int> compare_versions(std::string_view a, std::string_view b);
bool valid_version(std::string_view v);
inline constexpr std::size_t kMaxVersionLength = 64;

struct Policy {
    const Keyring *ring = nullptr;
    std::optional<std::uint32_t> productType;
    std::optional<std::string> minVersion;
    bool allowLegacy = false;
};

// The policy's refusal (a RERAZERA_SIGN_ code) for a package whose
// signature and own checks passed, or OK.
std::int32_t apply_policy(const Policy &policy, std::string_view trustedComment,
                          std::uint32_t headerProductType);

}  // namespace rerazera::sign
