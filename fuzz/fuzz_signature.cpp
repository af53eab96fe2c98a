// SPDX-License-Identifier: MIT
// The minisign parsers: every input is tried as a signature file, a public
// key file, a public key's base64 text and a secret key file, then checked
// as the signature of a fixed file through the C API against a keyring that
// trusts the fixed key. Parsed files must survive a round trip through
// their writers, and the check must answer with one of its codes, hand the
// signature's details back exactly when the file parses, and leak nothing.
#include <sodium.h>

#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "harness.hpp"
#include "rerazera/sign.h"
#include "sign/public_key.hpp"
#include "sign/secret_key.hpp"
#include "sign/signature_file.hpp"
#include "signature_fixture.hpp"

namespace rs = rerazera::sign;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > rzfuzz::kMaxInput || sodium_init() < 0) {
        return 0;
    }
    const std::string_view text(reinterpret_cast<const char *>(data), size);

    const auto sig = rs::parse_signature_file(text);
    if (sig) {
        const auto again = rs::parse_signature_file(rs::format_signature_file(*sig, "fuzz"));
        rzfuzz::expect(again && again->algorithm == sig->algorithm && again->keyId == sig->keyId &&
                           again->signature == sig->signature &&
                           again->trustedComment == sig->trustedComment &&
                           again->globalSignature == sig->globalSignature,
                       "a signature file does not survive a round trip");
    }
    for (const auto &key : {rs::parse_public_key_file(text), rs::parse_public_key_base64(text)}) {
        if (key) {
            const auto again = rs::parse_public_key_file(rs::format_public_key_file(*key));
            rzfuzz::expect(again && again->id == key->id && again->key == key->key,
                           "a public key does not survive a round trip");
            rzfuzz::expect(rs::parse_key_id_text(rs::key_id_text(key->id)) == key->id,
                           "a key ID does not survive a round trip");
        }
    }
    // No password: an encrypted key stops before the (deliberately slow)
    // key derivation, an unencrypted one is checked in full.
    auto secret = rs::parse_secret_key_file(text, nullptr);
    if (auto *key = std::get_if<rs::SecretKey>(&secret)) {
        (void)key->public_key();
    }

    // The whole check, the input as the signature of a fixed file.
    const std::string pkg =
        rzfuzz::put_file("signed.bin", reinterpret_cast<const std::uint8_t *>(rzfuzz::kSignedText),
                         std::strlen(rzfuzz::kSignedText));
    const std::string sigPath = rzfuzz::put_file("signed.bin.minisig", data, size);
    rerazera_keyring *ring = nullptr;
    rzfuzz::expect(rerazera_keyring_new(&ring) == RERAZERA_SIGN_OK, "no keyring");
    const rs::SecretKey key = rzfuzz::fixed_key();
    const std::string pub = rs::format_public_key_file(key.public_key());
    rzfuzz::expect(rerazera_keyring_add_base64(ring, pub.substr(pub.find('\n') + 1).c_str()) ==
                       RERAZERA_SIGN_OK,
                   "the fixed key is refused");
    const int fds = rzfuzz::open_fd_count();
    rerazera_signature_info *info = nullptr;
    const std::int32_t r = rerazera_verify_signature(
        ring, pkg.c_str(), nullptr,
        size > 0 && (data[0] & 1) != 0 ? RERAZERA_SIGN_ALLOW_LEGACY : 0u, &info);
    rzfuzz::expect(r >= RERAZERA_SIGN_OK && r <= RERAZERA_SIGN_COMMENT_FORGED,
                   "an unexpected result");
    const bool parsed = sig.has_value() && size <= rs::kMaxSignatureFileSize;
    rzfuzz::expect(parsed == (info != nullptr), "details handed back for an unparsed file");
    rzfuzz::expect(parsed || r == RERAZERA_SIGN_MALFORMED, "an unparsed file not malformed");
    if (info != nullptr) {
        rzfuzz::expect(info->trusted_comment == sig->trustedComment,
                       "the trusted comment differs from the file's");
        rzfuzz::expect((info->comment_verified != 0) == (r == RERAZERA_SIGN_OK),
                       "a comment marked verified on a refused signature");
    }
    rerazera_signature_info_free(info);
    rerazera_keyring_free(ring);
    rzfuzz::expect(rzfuzz::open_fd_count() == fds, "a descriptor leaked");
    return 0;
}
