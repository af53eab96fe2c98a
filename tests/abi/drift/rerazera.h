// SPDX-License-Identifier: MIT
/* A header that has drifted from its export map. QVPKG_InComment(x) is only
 * mentioned here and is not a declaration. */
#include <stdint.h>
#define QVPKG_API
#define QVPKG_MACRO(x) ((x) + 1)
QVPKG_API void QVPKG_MakeCrcCheckSum(const uint8_t *data, int32_t len, uint16_t *crc);
/* Declared, never listed in the map. */
int32_t QVPKG_NotInMap(const char *packagePath, uint32_t packageLength, char *messageBuffer,
                       uint32_t messageSize);
