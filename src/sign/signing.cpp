// SPDX-License-Identifier: MIT
#include "sign/signing.hpp"

#include <sodium.h>

#include <vector>

#include "sign/digest.hpp"

namespace rerazera::sign {

SignatureFile sign_bytes(const SecretKey &key, const std::uint8_t *data, std::size_t size,
                         const std::string &trustedComment) {
    SignatureFile sig;
    sig.algorithm = {'E', 'D'};
    sig.keyId = key.id;
    sig.trustedComment = trustedComment;
    const Digest digest = blake2b512(data, size);
    crypto_sign_detached(sig.signature.data(), nullptr, digest.data(), digest.size(),
                         key.key.data());
    std::vector<std::uint8_t> signedComment(sig.signature.begin(), sig.signature.end());
    signedComment.insert(signedComment.end(), trustedComment.begin(), trustedComment.end());
    crypto_sign_detached(sig.globalSignature.data(), nullptr, signedComment.data(),
                         signedComment.size(), key.key.data());
    return sig;
}

}  // namespace rerazera::sign
