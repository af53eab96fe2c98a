// SPDX-License-Identifier: MIT
// The exported functions of librerazera-sign: thin extern "C" shims that
// check their arguments, make sure libsodium is ready, run the C++ code and
// turn anything it throws (memory running out) into a result code.
#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "rerazera/sign.h"
#include "sign/api_support.hpp"
#include "sign/file_io.hpp"
#include "sign/keyring.hpp"
#include "sign/package_check.hpp"
#include "sign/policy.hpp"
#include "sign/public_key.hpp"
#include "sign/signature_check.hpp"

namespace {

using rerazera::sign::crypto_ready;
using rerazera::sign::guarded;
using rerazera::sign::SignatureFile;

// A malloc'ed record for the caller, or null when memory runs out.
rerazera_signature_info *make_info(const SignatureFile &sig, bool commentVerified) {
    auto *info =
        static_cast<rerazera_signature_info *>(std::calloc(1, sizeof(rerazera_signature_info)));
    if (info == nullptr) {
        return nullptr;
    }
    const std::string id = rerazera::sign::key_id_text(sig.keyId);
    std::memcpy(info->key_id, id.c_str(), id.size() + 1);
    info->trusted_comment = static_cast<char *>(std::malloc(sig.trustedComment.size() + 1));
    if (info->trusted_comment == nullptr) {
        std::free(info);
        return nullptr;
    }
    std::memcpy(info->trusted_comment, sig.trustedComment.c_str(), sig.trustedComment.size() + 1);
    info->comment_verified = commentVerified ? 1 : 0;
    info->legacy = sig.kind() == rerazera::sign::Algorithm::Legacy ? 1 : 0;
    return info;
}

std::string default_signature_path(const char *path, const char *sigPath) {
    return sigPath != nullptr ? std::string(sigPath) : std::string(path) + ".minisig";
}

}  // namespace

namespace rerazera::sign {

// Hands the parsed signature to the caller when asked for.
std::int32_t hand_out_info(std::int32_t result, const std::optional<SignatureFile> &sig,
                           rerazera_signature_info **info) {
    if (info == nullptr) {
        return result;
    }
    *info = nullptr;
    if (!sig) {
        return result;
    }
    // Every refusal after the signature check held a verified comment.
    const bool verified = result == RERAZERA_SIGN_OK || result == RERAZERA_SIGN_PACKAGE_FAILED ||
                          result == RERAZERA_SIGN_INDEX_MALFORMED ||
                          (result >= RERAZERA_SIGN_PRODUCT_TYPE_MISMATCH &&
                           result <= RERAZERA_SIGN_VERSION_MALFORMED);
    *info = make_info(*sig, verified);
    return *info != nullptr ? result : RERAZERA_SIGN_NO_MEMORY;
}

}  // namespace rerazera::sign

extern "C" {

RERAZERA_SIGN_API const char *rerazera_sign_strerror(int32_t code) {
    switch (code) {
        case RERAZERA_SIGN_OK:
            return "signature valid";
        case RERAZERA_SIGN_NO_SIGNATURE:
            return "no signature file";
        case RERAZERA_SIGN_MALFORMED:
            return "malformed signature file";
        case RERAZERA_SIGN_ALGORITHM_REFUSED:
            return "signature algorithm refused";
        case RERAZERA_SIGN_UNKNOWN_KEY:
            return "signed by an untrusted key";
        case RERAZERA_SIGN_REVOKED_KEY:
            return "signed by a revoked key";
        case RERAZERA_SIGN_MISMATCH:
            return "signature does not match the file";
        case RERAZERA_SIGN_COMMENT_FORGED:
            return "trusted comment forged";
        case RERAZERA_SIGN_IO_ERROR:
            return "file cannot be read";
        case RERAZERA_SIGN_PACKAGE_FAILED:
            return "signature valid, package check failed";
        case RERAZERA_SIGN_BAD_KEY:
            return "malformed public key";
        case RERAZERA_SIGN_INVALID_ARGUMENT:
            return "invalid argument";
        case RERAZERA_SIGN_NO_MEMORY:
            return "out of memory";
        case RERAZERA_SIGN_CRYPTO_UNAVAILABLE:
            return "cryptography library unavailable";
        case RERAZERA_SIGN_PRODUCT_TYPE_MISMATCH:
            return "signed for another product type";
        case RERAZERA_SIGN_VERSION_TOO_OLD:
            return "version below the minimum";
        case RERAZERA_SIGN_VERSION_MISSING:
            return "no signed version, and a minimum is set";
        case RERAZERA_SIGN_VERSION_MALFORMED:
            return "malformed version";
        case RERAZERA_SIGN_KEY_CONFLICT:
            return "another key with the same key ID is already trusted";
        case RERAZERA_SIGN_NEEDS_PASSWORD:
            return "the secret key needs a password";
        case RERAZERA_SIGN_WRONG_PASSWORD:
            return "wrong password";
        case RERAZERA_SIGN_BAD_SECRET_KEY:
            return "not a minisign secret key";
        case RERAZERA_SIGN_KDF_FAILED:
            return "the key derivation failed (not enough memory)";
        case RERAZERA_SIGN_BAD_COMMENT:
            return "a comment must be one line of printable text";
        case RERAZERA_SIGN_SIGNER_FAILED:
            return "the external signer failed";
        case RERAZERA_SIGN_SIGNER_WRONG_KEY:
            return "the external signer's signature does not verify with the public key";
        case RERAZERA_SIGN_INDEX_MALFORMED:
            return "not a package index this library reads";
        case RERAZERA_SIGN_BLOCK_MISMATCH:
            return "a block differs from the signed index";
        case RERAZERA_SIGN_LENGTH_MISMATCH:
            return "the package's length differs from the signed index";
        case RERAZERA_SIGN_SINK_FAILED:
            return "the sink failed";
        case RERAZERA_SIGN_STOPPED:
            return "stopped by the entry callback";
        case RERAZERA_SIGN_STREAM_FAILED:
            return "the streaming verifier cannot go on";
        default:
            return "unknown result code";
    }
}

RERAZERA_SIGN_API int32_t rerazera_keyring_new(rerazera_keyring **out) {
    if (out == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    auto *ring = new (std::nothrow) rerazera_keyring;
    if (ring == nullptr) {
        return RERAZERA_SIGN_NO_MEMORY;
    }
    *out = ring;
    return RERAZERA_SIGN_OK;
}

RERAZERA_SIGN_API void rerazera_keyring_free(rerazera_keyring *ring) {
    delete ring;
}

namespace {

std::int32_t add_key_file(rerazera_keyring *ring, const char *path, bool unique) {
    if (ring == nullptr || path == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    return guarded([&] {
        std::string content;
        switch (rerazera::sign::read_small_file(path, rerazera::sign::kMaxKeyFileSize, content)) {
            case rerazera::sign::ReadStatus::Ok:
                break;
            case rerazera::sign::ReadStatus::TooLarge:
                return RERAZERA_SIGN_BAD_KEY;
            default:
                return RERAZERA_SIGN_IO_ERROR;
        }
        const auto key = rerazera::sign::parse_public_key_file(content);
        if (!key) {
            return RERAZERA_SIGN_BAD_KEY;
        }
        rerazera::sign::Keyring::Status status{};
        const rerazera::sign::PublicKey *had = ring->ring.find(key->id, status);
        if (unique && had != nullptr && had->key != key->key) {
            return RERAZERA_SIGN_KEY_CONFLICT;
        }
        ring->ring.add(*key);
        return RERAZERA_SIGN_OK;
    });
}

}  // namespace

RERAZERA_SIGN_API int32_t rerazera_keyring_add_file(rerazera_keyring *ring, const char *path) {
    return add_key_file(ring, path, false);
}

RERAZERA_SIGN_API int32_t rerazera_keyring_add_file_unique(rerazera_keyring *ring,
                                                           const char *path) {
    return add_key_file(ring, path, true);
}

RERAZERA_SIGN_API int32_t rerazera_keyring_add_base64(rerazera_keyring *ring, const char *text) {
    if (ring == nullptr || text == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    return guarded([&] {
        const auto key = rerazera::sign::parse_public_key_base64(text);
        if (!key) {
            return RERAZERA_SIGN_BAD_KEY;
        }
        ring->ring.add(*key);
        return RERAZERA_SIGN_OK;
    });
}

RERAZERA_SIGN_API int32_t rerazera_keyring_revoke(rerazera_keyring *ring, const char *key_id) {
    if (ring == nullptr || key_id == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    return guarded([&] {
        const auto id = rerazera::sign::parse_key_id_text(key_id);
        if (!id) {
            return RERAZERA_SIGN_BAD_KEY;
        }
        ring->ring.revoke(*id);
        return RERAZERA_SIGN_OK;
    });
}

RERAZERA_SIGN_API uint32_t rerazera_keyring_size(const rerazera_keyring *ring) {
    return ring == nullptr ? 0 : static_cast<uint32_t>(ring->ring.size());
}

RERAZERA_SIGN_API int32_t rerazera_verify_signature(const rerazera_keyring *ring, const char *path,
                                                    const char *sig_path, uint32_t flags,
                                                    rerazera_signature_info **info) {
    if (info != nullptr) {
        *info = nullptr;
    }
    if (ring == nullptr || path == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (!crypto_ready()) {
        return RERAZERA_SIGN_CRYPTO_UNAVAILABLE;
    }
    return guarded([&] {
        std::optional<SignatureFile> sig;
        const std::string sigPath = default_signature_path(path, sig_path);
        const std::int32_t r =
            rerazera::sign::check_file_signature(ring->ring, path, sigPath.c_str(), flags, sig);
        return rerazera::sign::hand_out_info(r, sig, info);
    });
}

RERAZERA_SIGN_API int32_t rerazera_verify_package(const rerazera_keyring *ring, const char *path,
                                                  const char *sig_path, uint32_t flags, char *msg,
                                                  uint32_t msgSize, int32_t *package_result,
                                                  rerazera_signature_info **info) {
    if (info != nullptr) {
        *info = nullptr;
    }
    if (ring == nullptr || path == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (!crypto_ready()) {
        return RERAZERA_SIGN_CRYPTO_UNAVAILABLE;
    }
    return guarded([&] {
        std::optional<SignatureFile> sig;
        const std::string sigPath = default_signature_path(path, sig_path);
        const std::int32_t r = rerazera::sign::check_signed_package(
            ring->ring, path, sigPath.c_str(), flags, msg, msgSize, package_result, sig);
        return rerazera::sign::hand_out_info(r, sig, info);
    });
}

RERAZERA_SIGN_API int32_t rerazera_version_compare(const char *a, const char *b, int *order) {
    if (a == nullptr || b == nullptr || order == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    const std::optional<int> c = rerazera::sign::compare_versions(a, b);
    if (!c) {
        return RERAZERA_SIGN_VERSION_MALFORMED;
    }
    *order = *c;
    return RERAZERA_SIGN_OK;
}

RERAZERA_SIGN_API int32_t rerazera_policy_new(rerazera_policy **out) {
    if (out == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    auto *policy = new (std::nothrow) rerazera_policy;
    if (policy == nullptr) {
        return RERAZERA_SIGN_NO_MEMORY;
    }
    *out = policy;
    return RERAZERA_SIGN_OK;
}

RERAZERA_SIGN_API void rerazera_policy_free(rerazera_policy *policy) {
    delete policy;
}

RERAZERA_SIGN_API int32_t rerazera_policy_set_keyring(rerazera_policy *policy,
                                                      const rerazera_keyring *ring) {
    if (policy == nullptr || ring == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    policy->policy.ring = &ring->ring;
    return RERAZERA_SIGN_OK;
}

RERAZERA_SIGN_API int32_t rerazera_policy_set_product_type(rerazera_policy *policy,
                                                           uint32_t product_type) {
    if (policy == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    policy->policy.productType = product_type;
    return RERAZERA_SIGN_OK;
}

RERAZERA_SIGN_API int32_t rerazera_policy_set_min_version(rerazera_policy *policy,
                                                          const char *version) {
    if (policy == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    return guarded([&] {
        if (version == nullptr) {
            policy->policy.minVersion.reset();
            return RERAZERA_SIGN_OK;
        }
        if (!rerazera::sign::valid_version(version)) {
            return RERAZERA_SIGN_VERSION_MALFORMED;
        }
        policy->policy.minVersion = std::string(version);
        return RERAZERA_SIGN_OK;
    });
}

RERAZERA_SIGN_API int32_t rerazera_policy_allow_legacy(rerazera_policy *policy, int allow) {
    if (policy == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    policy->policy.allowLegacy = allow != 0;
    return RERAZERA_SIGN_OK;
}

RERAZERA_SIGN_API int32_t rerazera_verify_package_policy(const rerazera_policy *policy,
                                                         const char *path, const char *sig_path,
                                                         char *msg, uint32_t msgSize,
                                                         int32_t *package_result,
                                                         rerazera_signature_info **info) {
    if (info != nullptr) {
        *info = nullptr;
    }
    if (policy == nullptr || policy->policy.ring == nullptr || path == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (!crypto_ready()) {
        return RERAZERA_SIGN_CRYPTO_UNAVAILABLE;
    }
    return guarded([&] {
        const rerazera::sign::Policy &p = policy->policy;
        std::optional<SignatureFile> sig;
        const std::string sigPath = default_signature_path(path, sig_path);
        std::uint32_t productType = 0;
        std::int32_t r = rerazera::sign::check_signed_package(
            *p.ring, path, sigPath.c_str(), p.allowLegacy ? RERAZERA_SIGN_ALLOW_LEGACY : 0u, msg,
            msgSize, package_result, sig, &productType);
        if (r == RERAZERA_SIGN_OK) {
            r = rerazera::sign::apply_policy(p, sig->trustedComment, productType);
        }
        return rerazera::sign::hand_out_info(r, sig, info);
    });
}

RERAZERA_SIGN_API int32_t rerazera_verify_bytes_policy(const rerazera_policy *policy,
                                                       const void *data, size_t size,
                                                       const char *sig_path, char *msg,
                                                       uint32_t msgSize, int32_t *package_result,
                                                       rerazera_signature_info **info) {
    if (info != nullptr) {
        *info = nullptr;
    }
    if (policy == nullptr || policy->policy.ring == nullptr || data == nullptr ||
        sig_path == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (!crypto_ready()) {
        return RERAZERA_SIGN_CRYPTO_UNAVAILABLE;
    }
    return guarded([&] {
        const rerazera::sign::Policy &p = policy->policy;
        std::optional<SignatureFile> sig;
        std::uint32_t productType = 0;
        std::int32_t r = rerazera::sign::check_signed_bytes_package(
            *p.ring, static_cast<const std::uint8_t *>(data), size, sig_path,
            p.allowLegacy ? RERAZERA_SIGN_ALLOW_LEGACY : 0u, msg, msgSize, package_result, sig,
            &productType);
        if (r == RERAZERA_SIGN_OK) {
            r = rerazera::sign::apply_policy(p, sig->trustedComment, productType);
        }
        return rerazera::sign::hand_out_info(r, sig, info);
    });
}

RERAZERA_SIGN_API void rerazera_signature_info_free(rerazera_signature_info *info) {
    if (info != nullptr) {
        std::free(info->trusted_comment);
        std::free(info);
    }
}

}  // extern "C"
