// The whole-package walk over a mapped package.
#pragma once

#include <cstdint>

namespace rerazera {

// Verifies the package mapped at base (fileLen >= 6180 readable bytes): the
// header, then each header entry in table order (bounds, then the sub-file
// test), then the extension when entry 255 opens one. Writes exactly one
// verdict into msg and returns 0, -1, QVPKG_ERR_LENGTH or QVPKG_ERR_HEADER.
std::int32_t check_package(const std::uint8_t *base, std::uint32_t fileLen, char *msg,
                           std::uint32_t msgSize) noexcept;

}  // namespace rerazera
