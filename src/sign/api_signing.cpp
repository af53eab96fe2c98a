// SPDX-License-Identifier: MIT
// The exported signing functions: key pairs, secret keys and signatures.
#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "rerazera/sign.h"
#include "sign/api_support.hpp"
#include "sign/file_io.hpp"
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
    if (!comment_ok(trusted_comment, true) || !comment_ok(untrusted_comment, false)) {
        return RERAZERA_SIGN_BAD_COMMENT;
    }
    if (!rs::crypto_ready()) {
        return RERAZERA_SIGN_CRYPTO_UNAVAILABLE;
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

}  // extern "C"
