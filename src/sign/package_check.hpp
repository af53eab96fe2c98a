// SPDX-License-Identifier: MIT
// The signed package check: the signature, then the whole-package check of
// QVPKG_ChkQVFileInfo, over one mapping of the package.
#pragma once

#include <cstdint>
#include <optional>

#include "sign/keyring.hpp"
#include "sign/signature_file.hpp"

namespace rerazera::sign {

// See rerazera_verify_package in rerazera/sign.h.
std::int32_t check_signed_package(const Keyring &ring, const char *path, const char *sigPath,
                                  std::uint32_t flags, char *msg, std::uint32_t msgSize,
                                  std::int32_t *packageResult, std::optional<SignatureFile> &sig);

}  // namespace rerazera::sign
