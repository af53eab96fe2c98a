// SPDX-License-Identifier: MIT
// The exported checksum entry point.
#include "base/c_boundary.hpp"
#include "format/crc.hpp"

RERAZERA_EXPORT void QVPKG_MakeCrcCheckSum(const uint8_t *data, int32_t len, uint16_t *crc) {
    // A non-positive count reads nothing and yields the CRC of no bytes.
    *crc = len > 0 ? rerazera::crc16(data, static_cast<std::size_t>(len)) : 0;
}
