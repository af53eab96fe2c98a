// SPDX-License-Identifier: MIT
// The signed package check: the signature, then the whole-package check of
// QVPKG_ChkQVFileInfo, over one mapping of the package.
#pragma once

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

}  // namespace rerazera::sign
