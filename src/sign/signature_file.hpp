// SPDX-License-Identifier: MIT
// Minisign signature files (FILE.minisig), four lines:
//   untrusted comment: <free text, not authenticated>
//   base64( algorithm (2) | key ID (8) | signature (64) )
//   trusted comment: <text>
//   base64( global signature (64) )
// "ED" signs the BLAKE2b-512 digest of the file, the legacy "Ed" the file
// itself; the global signature signs the file signature followed by the
// trusted comment's text, which is what makes that comment trustworthy.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sign/public_key.hpp"

namespace rerazera::sign {

using Ed25519Signature = std::array<std::uint8_t, 64>;

enum class Algorithm { Hashed, Legacy, Unknown };

struct SignatureFile {
    std::array<std::uint8_t, 2> algorithm{};
    KeyId keyId{};
    Ed25519Signature signature{};
    std::string trustedComment;
    Ed25519Signature globalSignature{};

    [[nodiscard]] Algorithm kind() const;
};

inline constexpr std::size_t kSignatureBlobSize = 2 + 8 + 64;
// Longest trusted comment minisign reads, its prefix included.
inline constexpr std::size_t kMaxTrustedCommentLine = 8192;
// Longer signature files are refused unread.
inline constexpr std::size_t kMaxSignatureFileSize = 16384;

// Lengths, prefixes and base64 checked; the algorithm is not judged here.
// The trusted comment may hold printable text and tabs only.
std::optional<SignatureFile> parse_signature_file(std::string_view content);

std::string format_signature_file(const SignatureFile &sig, std::string_view untrustedComment);

}  // namespace rerazera::sign
