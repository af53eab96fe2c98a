// SPDX-License-Identifier: MIT
// The signed package check: the signature, then the whole-package check of
// QVPKG_ChkQVFileInfo, over one mapping of the package.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "sign/keyring.hpp"
#include "sign/signature_file.hpp"

namespace rerazera::sign {

// See rerazera_verify_package in rerazera/sign.h. When the result is OK,
// headerProductType (if not null) receives the header's product type, read
// from the bytes that were verified.
std::int32_t check_signed_package(const Keyring &ring, const char *path, const char *sigPath,
                                  std::uint32_t flags, char *msg, std::uint32_t msgSize,
                                  std::int32_t *packageResult, std::optional<SignatureFile> &sig,
                                  std::uint32_t *headerProductType = nullptr);

// The same over bytes the caller holds (a package handle's snapshot, a
// download in memory): the signature over exactly those bytes, then the
// whole-package check on them, without the name rule, which needs a path.
std::int32_t check_signed_bytes_package(const Keyring &ring, const std::uint8_t *data,
                                        std::size_t size, const char *sigPath, std::uint32_t flags,
                                        char *msg, std::uint32_t msgSize,
                                        std::int32_t *packageResult,
                                        std::optional<SignatureFile> &sig,
                                        std::uint32_t *headerProductType);

}  // namespace rerazera::sign
