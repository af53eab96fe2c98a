// SPDX-License-Identifier: MIT
// The exported signing functions: key pairs, secret keys and signatures.
#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "rerazera/sign.h"
#include "sign/api_support.hpp"
#include "sign/digest.hpp"
#include "sign/file_io.hpp"
#include "sign/public_key.hpp"
#include "sign/secret_key.hpp"
#include "sign/signature_check.hpp"
#include "sign/signing.hpp"

struct rerazera_secret_key {
    rerazera::sign::SecretKey key;
};

namespace {

namespace rs = rerazera::sign;
using rs::guarded;

// A malloc'ed copy of text for the caller, or null.
char *hand_out(std::string_view text) {
    auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text.data(), text.size());
        copy[text.size()] = '\0';
    }
    return copy;
}

void wipe(std::string &secret) {
    sodium_memzero(secret.data(), secret.size());
}

void copy_id(const rs::KeyId &id, char *out) {
    const std::string text = rs::key_id_text(id);
    std::memcpy(out, text.c_str(), text.size() + 1);
}

std::int32_t problem_code(rs::SecretKeyProblem problem) {
    switch (problem) {
        case rs::SecretKeyProblem::NeedsPassword:
            return RERAZERA_SIGN_NEEDS_PASSWORD;
        case rs::SecretKeyProblem::WrongPassword:
            return RERAZERA_SIGN_WRONG_PASSWORD;
        case rs::SecretKeyProblem::KdfFailed:
            return RERAZERA_SIGN_KDF_FAILED;
        default:
            return RERAZERA_SIGN_BAD_SECRET_KEY;
    }
}

// One line of printable text (and tabs, when allowed), as minisign reads it.
bool comment_ok(const char *text, bool tabs) {
    const std::size_t n = std::strlen(text);
    if (n > 8000) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && !(tabs && c == '\t')) || c == 0x7F) {
            return false;
        }
    }
    return true;
}

// The minisign public key file at path: OK with key set, IO_ERROR or BAD_KEY.
std::int32_t read_public_key(const char *path, std::optional<rs::PublicKey> &key) {
    std::string content;
    switch (rs::read_small_file(path, 4096, content)) {
        case rs::ReadStatus::Ok:
            break;
        case rs::ReadStatus::TooLarge:
            return RERAZERA_SIGN_BAD_KEY;
        default:
            return RERAZERA_SIGN_IO_ERROR;
    }
    key = rs::parse_public_key_file(content);
    return key ? RERAZERA_SIGN_OK : RERAZERA_SIGN_BAD_KEY;
}

// Both signatures checked against key over the digest and the comment, then
// the signature file's text handed out: OK, SIGNER_WRONG_KEY or NO_MEMORY.
std::int32_t hand_out_checked(const rs::SignatureFile &sig, const rs::PublicKey &key,
                              const std::uint8_t *digest, const char *untrusted_comment,
                              char **signature_file) {
    std::string signedComment(sig.signature.begin(), sig.signature.end());
    signedComment += sig.trustedComment;
    if (crypto_sign_verify_detached(sig.signature.data(), digest, 64, key.key.data()) != 0 ||
        crypto_sign_verify_detached(sig.globalSignature.data(),
                                    reinterpret_cast<const unsigned char *>(signedComment.data()),
                                    signedComment.size(), key.key.data()) != 0) {
        return RERAZERA_SIGN_SIGNER_WRONG_KEY;
    }
    char *text = hand_out(rs::format_signature_file(sig, untrusted_comment));
    if (text == nullptr) {
        return RERAZERA_SIGN_NO_MEMORY;
    }
    *signature_file = text;
    return RERAZERA_SIGN_OK;
}

// Both signatures from signer, over the digest and then over the first
// signature and the trusted comment. Each is judged before the next is
// asked for, so a signer holding another key is told apart from a message
// that changed; key_id (may be null) receives the key's ID on success.
std::int32_t sign_external(const rs::PublicKey &key, rerazera_signer_fn signer, void *ctx,
                           const std::uint8_t *digest, const char *trusted_comment,
                           const char *untrusted_comment, char **signature_file, char *key_id) {
    rs::SignatureFile sig;
    sig.algorithm = {'E', 'D'};
    sig.keyId = key.id;
    sig.trustedComment = trusted_comment;
    if (signer(ctx, digest, 64, sig.signature.data()) != 0) {
        return RERAZERA_SIGN_SIGNER_FAILED;
    }
    if (crypto_sign_verify_detached(sig.signature.data(), digest, 64, key.key.data()) != 0) {
        return RERAZERA_SIGN_SIGNER_WRONG_KEY;
    }
    std::string signedComment(sig.signature.begin(), sig.signature.end());
    signedComment += sig.trustedComment;
    if (signer(ctx, reinterpret_cast<const std::uint8_t *>(signedComment.data()),
               signedComment.size(), sig.globalSignature.data()) != 0) {
        return RERAZERA_SIGN_SIGNER_FAILED;
    }
    const std::int32_t r = hand_out_checked(sig, key, digest, untrusted_comment, signature_file);
    if (r == RERAZERA_SIGN_OK && key_id != nullptr) {
        copy_id(key.id, key_id);
    }
    return r;
}

// What every signing entry point checks after its arguments, in one order:
// the comments, then libsodium.
std::int32_t signing_ready(const char *trusted_comment, const char *untrusted_comment) {
    if (!comment_ok(trusted_comment, true) || !comment_ok(untrusted_comment, false)) {
        return RERAZERA_SIGN_BAD_COMMENT;
    }
    return rs::crypto_ready() ? RERAZERA_SIGN_OK : RERAZERA_SIGN_CRYPTO_UNAVAILABLE;
}

// The checks both external entry points share, in their order: arguments,
// comments, libsodium, the public key file; then the digest that
// digest_of gives (or its error) is signed by signer.
template <typename DigestOf>
std::int32_t sign_with_public_key_file(const char *public_key_path, rerazera_signer_fn signer,
                                       void *ctx, const char *trusted_comment,
                                       const char *untrusted_comment, char **signature_file,
                                       char *key_id, DigestOf digest_of) {
    if (public_key_path == nullptr || signer == nullptr || trusted_comment == nullptr ||
        untrusted_comment == nullptr || signature_file == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (const std::int32_t r = signing_ready(trusted_comment, untrusted_comment);
        r != RERAZERA_SIGN_OK) {
        return r;
    }
    return guarded([&] {
        std::optional<rs::PublicKey> key;
        if (const std::int32_t r = read_public_key(public_key_path, key); r != RERAZERA_SIGN_OK) {
            return r;
        }
        rs::Digest digest{};
        if (const std::int32_t r = digest_of(digest); r != RERAZERA_SIGN_OK) {
            return r;
        }
        return sign_external(*key, signer, ctx, digest.data(), trusted_comment, untrusted_comment,
                             signature_file, key_id);
    });
}

}  // namespace

extern "C" {

RERAZERA_SIGN_API int32_t rerazera_keygen(const char *password, char **public_file,
                                          char **secret_file,
                                          char key_id[RERAZERA_KEY_ID_TEXT_SIZE]) {
    if (public_file == nullptr || secret_file == nullptr || key_id == nullptr ||
        (password != nullptr && *password == '\0')) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (!rs::crypto_ready()) {
        return RERAZERA_SIGN_CRYPTO_UNAVAILABLE;
    }
    return guarded([&] {
        const rs::SecretKey key = rs::SecretKey::generate();
        std::string pw = password != nullptr ? password : "";
        auto secret = rs::format_secret_key_file(key, password != nullptr ? &pw : nullptr);
        wipe(pw);
        if (auto *problem = std::get_if<rs::SecretKeyProblem>(&secret)) {
            return problem_code(*problem);
        }
        std::string &secretText = std::get<std::string>(secret);
        char *pub = hand_out(rs::format_public_key_file(key.public_key()));
        char *sec = hand_out(secretText);
        wipe(secretText);
        if (pub == nullptr || sec == nullptr) {
            std::free(pub);
            rerazera_secret_text_free(sec);
            return RERAZERA_SIGN_NO_MEMORY;
        }
        *public_file = pub;
        *secret_file = sec;
        copy_id(key.id, key_id);
        return RERAZERA_SIGN_OK;
    });
}

RERAZERA_SIGN_API void rerazera_secret_text_free(char *text) {
    if (text != nullptr) {
        sodium_memzero(text, std::strlen(text));
        std::free(text);
    }
}

RERAZERA_SIGN_API int32_t rerazera_secret_key_read(const char *path, const char *password,
                                                   rerazera_secret_key **out) {
    if (path == nullptr || out == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (!rs::crypto_ready()) {
        return RERAZERA_SIGN_CRYPTO_UNAVAILABLE;
    }
    return guarded([&] {
        std::string content;
        switch (rs::read_small_file(path, 4096, content)) {
            case rs::ReadStatus::Ok:
                break;
            case rs::ReadStatus::TooLarge:
                return RERAZERA_SIGN_BAD_SECRET_KEY;
            default:
                return RERAZERA_SIGN_IO_ERROR;
        }
        std::string pw = password != nullptr ? password : "";
        auto parsed = rs::parse_secret_key_file(content, password != nullptr ? &pw : nullptr);
        wipe(pw);
        wipe(content);
        if (auto *problem = std::get_if<rs::SecretKeyProblem>(&parsed)) {
            return problem_code(*problem);
        }
        auto *key = new rerazera_secret_key{std::move(std::get<rs::SecretKey>(parsed))};
        *out = key;
        return RERAZERA_SIGN_OK;
    });
}

RERAZERA_SIGN_API void rerazera_secret_key_free(rerazera_secret_key *key) {
    delete key;
}

RERAZERA_SIGN_API void rerazera_secret_key_id(const rerazera_secret_key *key,
                                              char key_id[RERAZERA_KEY_ID_TEXT_SIZE]) {
    if (key != nullptr && key_id != nullptr) {
        copy_id(key->key.id, key_id);
    }
}

RERAZERA_SIGN_API int32_t rerazera_sign_file(const rerazera_secret_key *key, const char *path,
                                             const char *trusted_comment,
                                             const char *untrusted_comment, char **signature_file) {
    if (key == nullptr || path == nullptr || trusted_comment == nullptr ||
        untrusted_comment == nullptr || signature_file == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (const std::int32_t r = signing_ready(trusted_comment, untrusted_comment);
        r != RERAZERA_SIGN_OK) {
        return r;
    }
    return guarded([&] {
        const rs::FileView view = rs::FileView::map(path);
        if (!view.ok()) {
            return RERAZERA_SIGN_IO_ERROR;
        }
        const rs::SignatureFile sig =
            rs::sign_bytes(key->key, view.data(), view.size(), trusted_comment);
        // A signature that does not verify is never handed out.
        if (const std::int32_t r =
                rs::check_signed_bytes(sig, key->key.public_key(), view.data(), view.size());
            r != RERAZERA_SIGN_OK) {
            return r;
        }
        char *text = hand_out(rs::format_signature_file(sig, untrusted_comment));
        if (text == nullptr) {
            return RERAZERA_SIGN_NO_MEMORY;
        }
        *signature_file = text;
        return RERAZERA_SIGN_OK;
    });
}

RERAZERA_SIGN_API int32_t rerazera_sign_file_external(const char *public_key_path,
                                                      rerazera_signer_fn signer, void *ctx,
                                                      const char *path, const char *trusted_comment,
                                                      const char *untrusted_comment,
                                                      char **signature_file,
                                                      char key_id[RERAZERA_KEY_ID_TEXT_SIZE]) {
    if (path == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    return sign_with_public_key_file(public_key_path, signer, ctx, trusted_comment,
                                     untrusted_comment, signature_file, key_id,
                                     [&](rs::Digest &digest) {
                                         const rs::FileView view = rs::FileView::map(path);
                                         if (!view.ok()) {
                                             return RERAZERA_SIGN_IO_ERROR;
                                         }
                                         digest = rs::blake2b512(view.data(), view.size());
                                         return RERAZERA_SIGN_OK;
                                     });
}

RERAZERA_SIGN_API int32_t rerazera_public_key_file_id(const char *public_key_path,
                                                      char key_id[RERAZERA_KEY_ID_TEXT_SIZE]) {
    if (public_key_path == nullptr || key_id == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    return guarded([&] {
        std::optional<rs::PublicKey> key;
        const std::int32_t r = read_public_key(public_key_path, key);
        if (r == RERAZERA_SIGN_OK) {
            copy_id(key->id, key_id);
        }
        return r;
    });
}

RERAZERA_SIGN_API int32_t rerazera_file_digest(const char *path, uint8_t digest[64]) {
    if (path == nullptr || digest == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (!rs::crypto_ready()) {
        return RERAZERA_SIGN_CRYPTO_UNAVAILABLE;
    }
    return guarded([&] {
        const rs::FileView view = rs::FileView::map(path);
        if (!view.ok()) {
            return RERAZERA_SIGN_IO_ERROR;
        }
        const rs::Digest d = rs::blake2b512(view.data(), view.size());
        std::memcpy(digest, d.data(), d.size());
        return RERAZERA_SIGN_OK;
    });
}

RERAZERA_SIGN_API int32_t rerazera_sign_digest(const rerazera_secret_key *key,
                                               const uint8_t digest[64],
                                               const char *trusted_comment,
                                               const char *untrusted_comment,
                                               char **signature_file) {
    if (key == nullptr || digest == nullptr || trusted_comment == nullptr ||
        untrusted_comment == nullptr || signature_file == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (const std::int32_t r = signing_ready(trusted_comment, untrusted_comment);
        r != RERAZERA_SIGN_OK) {
        return r;
    }
    return guarded([&] {
        rs::SignatureFile sig;
        sig.algorithm = {'E', 'D'};
        sig.keyId = key->key.id;
        sig.trustedComment = trusted_comment;
        crypto_sign_detached(sig.signature.data(), nullptr, digest, 64, key->key.key.data());
        std::string signedComment(sig.signature.begin(), sig.signature.end());
        signedComment += sig.trustedComment;
        crypto_sign_detached(sig.globalSignature.data(), nullptr,
                             reinterpret_cast<const unsigned char *>(signedComment.data()),
                             signedComment.size(), key->key.key.data());
        return hand_out_checked(sig, key->key.public_key(), digest, untrusted_comment,
                                signature_file);
    });
}

RERAZERA_SIGN_API int32_t rerazera_sign_digest_external(
    const char *public_key_path, rerazera_signer_fn signer, void *ctx, const uint8_t digest[64],
    const char *trusted_comment, const char *untrusted_comment, char **signature_file,
    char key_id[RERAZERA_KEY_ID_TEXT_SIZE]) {
    if (digest == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    return sign_with_public_key_file(public_key_path, signer, ctx, trusted_comment,
                                     untrusted_comment, signature_file, key_id,
                                     [&](rs::Digest &out) {
                                         std::memcpy(out.data(), digest, out.size());
                                         return RERAZERA_SIGN_OK;
                                     });
}

}  // extern "C"
