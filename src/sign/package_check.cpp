// SPDX-License-Identifier: MIT
#include "sign/package_check.hpp"

#include "base/log.hpp"
#include "format/records.hpp"
#include "rerazera.h"
#include "rerazera/sign.h"
#include "sign/signature_check.hpp"
#include "verify/check_entry.hpp"
#include "verify/mapping.hpp"
#include "verify/walk.hpp"

namespace rerazera::sign {

std::int32_t check_signed_package(const Keyring &ring, const char *path, const char *sigPath,
                                  std::uint32_t flags, char *msg, std::uint32_t msgSize,
                                  std::int32_t *packageResult, std::optional<SignatureFile> &sig,
                                  std::uint32_t *headerProductType) {
    // Nothing of the package is read before its key is known to be trusted.
    if (const std::int32_t r = load_signature(sigPath, sig); r != RERAZERA_SIGN_OK) {
        return r;
    }
    const PublicKey *key = nullptr;
    if (const std::int32_t r = select_key(*sig, ring, flags, key); r != RERAZERA_SIGN_OK) {
        return r;
    }
    auto package_failed = [packageResult](std::int32_t code) {
        if (packageResult != nullptr) {
            *packageResult = code;
        }
        return code == QVPKG_OK ? RERAZERA_SIGN_OK : RERAZERA_SIGN_PACKAGE_FAILED;
    };

    // The mapping the package check would make, with its texts; it serves
    // the signature and the walk, so the file is read once.
    const Mapping mapping = map_package(path, msg, msgSize);
    if (!mapping) {
        log_info(kMapFailed, path, msg);
        // The signature is still checked on its own, so that no verdict
        // calls a comment trusted that was never held against the file's
        // bytes: a file that is gone gives IO_ERROR, a short one that is
        // signed fails as a package.
        if (const std::int32_t r = check_file_signature(ring, path, sigPath, flags, sig);
            r != RERAZERA_SIGN_OK) {
            return r;
        }
        return package_failed(QVPKG_ERR);
    }
    advise_whole_read(mapping);
    const PageFeeder feeder(mapping);
    if (const std::int32_t r =
            check_signed_bytes(*sig, *key, mapping.data(), mapping.size(), &feeder);
        r != RERAZERA_SIGN_OK) {
        return r;
    }
    // The package's own checks, exactly as QVPKG_ChkQVFileInfo makes them;
    // the name rule's header reads are a few kilobytes.
    if (const std::int32_t r = QVPKG_CheckFilename(path, msg, msgSize); r != QVPKG_OK) {
        log_info(kInvalidName, path);
        return package_failed(r);
    }
    const std::int32_t r = check_package(mapping.data(), mapping.size(), msg, msgSize, &feeder);
    if (r != QVPKG_OK) {
        log_info(kWalkFailed, path, msg);
    } else if (headerProductType != nullptr) {
        // A package that passed holds a whole header.
        *headerProductType = HeaderView(mapping.data()).product_type();
    }
    return package_failed(r);
}

std::int32_t check_signed_bytes_package(const Keyring &ring, const std::uint8_t *data,
                                        std::size_t size, const char *sigPath, std::uint32_t flags,
                                        char *msg, std::uint32_t msgSize,
                                        std::int32_t *packageResult,
                                        std::optional<SignatureFile> &sig,
                                        std::uint32_t *headerProductType) {
    if (const std::int32_t r = load_signature(sigPath, sig); r != RERAZERA_SIGN_OK) {
        return r;
    }
    const PublicKey *key = nullptr;
    if (const std::int32_t r = select_key(*sig, ring, flags, key); r != RERAZERA_SIGN_OK) {
        return r;
    }
    if (const std::int32_t r = check_signed_bytes(*sig, *key, data, size, nullptr);
        r != RERAZERA_SIGN_OK) {
        return r;
    }
    std::int32_t code = QVPKG_ERR;
    if (!refuse_length(size, msg, msgSize)) {
        code = check_package(data, static_cast<std::uint32_t>(size), msg, msgSize);
        if (code == QVPKG_OK && headerProductType != nullptr) {
            *headerProductType = HeaderView(data).product_type();
        }
    }
    if (packageResult != nullptr) {
        *packageResult = code;
    }
    return code == QVPKG_OK ? RERAZERA_SIGN_OK : RERAZERA_SIGN_PACKAGE_FAILED;
}

}  // namespace rerazera::sign
