// SPDX-License-Identifier: MIT
#include "sign/signature_file.hpp"

#include <cstring>

#include "sign/base64.hpp"
#include "sign/text_lines.hpp"

namespace rerazera::sign {
namespace {

bool printable(std::string_view text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace

Algorithm SignatureFile::kind() const {
    if (algorithm[0] == 'E' && algorithm[1] == 'D') {
        return Algorithm::Hashed;
    }
    if (algorithm[0] == 'E' && algorithm[1] == 'd') {
        return Algorithm::Legacy;
    }
    return Algorithm::Unknown;
}

std::optional<SignatureFile> parse_signature_file(std::string_view content) {
    const std::vector<std::string_view> lines = split_lines(content);
    if (lines.size() < 4 || !only_empty_from(lines, 4)) {
        return std::nullopt;
    }
    if (!lines[0].starts_with(kUntrustedPrefix) || !lines[2].starts_with(kTrustedPrefix) ||
        lines[2].size() >= kMaxTrustedCommentLine) {
        return std::nullopt;
    }
    const auto blob = base64_decode(lines[1], kSignatureBlobSize);
    const auto global = base64_decode(lines[3], 64);
    const std::string_view comment = lines[2].substr(kTrustedPrefix.size());
    if (!blob || !global || !printable(comment)) {
        return std::nullopt;
    }
    SignatureFile sig;
    std::memcpy(sig.algorithm.data(), blob->data(), 2);
    std::memcpy(sig.keyId.data(), blob->data() + 2, 8);
    std::memcpy(sig.signature.data(), blob->data() + 10, 64);
    sig.trustedComment = comment;
    std::memcpy(sig.globalSignature.data(), global->data(), 64);
    return sig;
}

std::string format_signature_file(const SignatureFile &sig, std::string_view untrustedComment) {
    std::uint8_t blob[kSignatureBlobSize];
    std::memcpy(blob, sig.algorithm.data(), 2);
    std::memcpy(blob + 2, sig.keyId.data(), 8);
    std::memcpy(blob + 10, sig.signature.data(), 64);
    std::string text(kUntrustedPrefix);
    text.append(untrustedComment).append("\n");
    text.append(base64_encode(blob, sizeof blob)).append("\n");
    text.append(kTrustedPrefix).append(sig.trustedComment).append("\n");
    text.append(base64_encode(sig.globalSignature.data(), 64)).append("\n");
    return text;
}

}  // namespace rerazera::sign
