// SPDX-License-Identifier: MIT
/* The public header used from strict C99: compiles with -pedantic -Werror
 * and links the shared library. */
#include <stdio.h>
#include <string.h>

#include "rerazera.h"

static int failures = 0;

static void expect(int condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

int main(void) {
    const char *digits = "123456789";
    uint16_t crc = 0xFFFF;
    QVHeader header;

    QVPKG_MakeCrcCheckSum((const uint8_t *)digits, (int32_t)strlen(digits), &crc);
    expect(crc == 0x31C3, "CRC-16/XMODEM check value");

    /* An all-zero header is valid: no entries, and the CRC of zeros is 0. */
    memset(&header, 0, sizeof header);
    expect(QVPKG_ChkQvHeader(&header) == QVPKG_OK, "zero header accepted");
    header.fileNum[2] = 0x01;
    header.fileNum[3] = 0x01; /* 257 entries */
    expect(QVPKG_ChkQvHeader(&header) == QVPKG_ERR_FILE_NUM, "257 entries refused");

    return failures == 0 ? 0 : 1;
}
