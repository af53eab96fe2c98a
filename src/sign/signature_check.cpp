// SPDX-License-Identifier: MIT
#include "sign/signature_check.hpp"

#include <sodium.h>

#include <string>
#include <vector>

#include "sign/digest.hpp"
#include "sign/file_io.hpp"

namespace rerazera::sign {

std::int32_t load_signature(const char *sigPath, std::optional<SignatureFile> &sig) {
    std::string content;
    switch (read_small_file(sigPath, kMaxSignatureFileSize, content)) {
        case ReadStatus::Missing:
            return RERAZERA_SIGN_NO_SIGNATURE;
        case ReadStatus::NotRegular:
        case ReadStatus::Failed:
            return RERAZERA_SIGN_IO_ERROR;
        case ReadStatus::TooLarge:
            return RERAZERA_SIGN_MALFORMED;
        case ReadStatus::Ok:
            break;
    }
    sig = parse_signature_file(content);
    return sig ? RERAZERA_SIGN_OK : RERAZERA_SIGN_MALFORMED;
}

std::int32_t select_key(const SignatureFile &sig, const Keyring &ring, std::uint32_t flags,
                        const PublicKey *&key) {
    const Algorithm kind = sig.kind();
    if (kind == Algorithm::Unknown ||
        (kind == Algorithm::Legacy && (flags & RERAZERA_SIGN_ALLOW_LEGACY) == 0)) {
        return RERAZERA_SIGN_ALGORITHM_REFUSED;
    }
    Keyring::Status status = Keyring::Status::Unknown;
    key = ring.find(sig.keyId, status);
    switch (status) {
        case Keyring::Status::Revoked:
            return RERAZERA_SIGN_REVOKED_KEY;
        case Keyring::Status::Unknown:
            return RERAZERA_SIGN_UNKNOWN_KEY;
        case Keyring::Status::Trusted:
            break;
    }
    return RERAZERA_SIGN_OK;
}

std::int32_t check_signed_bytes(const SignatureFile &sig, const PublicKey &key,
                                const std::uint8_t *data, std::size_t size,
                                const PageFeeder *feeder) {
    int bad = 0;
    if (sig.kind() == Algorithm::Legacy) {
        bad = crypto_sign_verify_detached(sig.signature.data(), data, size, key.key.data());
    } else {
        const Digest digest = blake2b512(data, size, feeder);
        bad = crypto_sign_verify_detached(sig.signature.data(), digest.data(), digest.size(),
                                          key.key.data());
    }
    if (bad != 0) {
        return RERAZERA_SIGN_MISMATCH;
    }
    std::vector<std::uint8_t> signedComment(sig.signature.begin(), sig.signature.end());
    signedComment.insert(signedComment.end(), sig.trustedComment.begin(), sig.trustedComment.end());
    if (crypto_sign_verify_detached(sig.globalSignature.data(), signedComment.data(),
                                    signedComment.size(), key.key.data()) != 0) {
        return RERAZERA_SIGN_COMMENT_FORGED;
    }
    return RERAZERA_SIGN_OK;
}

}  // namespace rerazera::sign

namespace rerazera::sign {

std::int32_t check_file_signature(const Keyring &ring, const char *path, const char *sigPath,
                                  std::uint32_t flags, std::optional<SignatureFile> &sig) {
    if (const std::int32_t r = load_signature(sigPath, sig); r != RERAZERA_SIGN_OK) {
        return r;
    }
    const PublicKey *key = nullptr;
    if (const std::int32_t r = select_key(*sig, ring, flags, key); r != RERAZERA_SIGN_OK) {
        return r;
    }
    const FileView view = FileView::map(path);
    if (!view.ok()) {
        return RERAZERA_SIGN_IO_ERROR;
    }
    return check_signed_bytes(*sig, *key, view.data(), view.size());
}

}  // namespace rerazera::sign
