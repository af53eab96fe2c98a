// SPDX-License-Identifier: MIT
// Texts for the package API's stable values.
#include <cstdint>

#include "base/c_boundary.hpp"
#include "format/crc_kernels.hpp"
#include "rerazera/package.h"

RERAZERA_EXPORT const char *rerazera_strerror(int32_t result) {
    switch (result) {
        case RERAZERA_OK:
            return "success";
        case RERAZERA_ERR_INVALID_ARGUMENT:
            return "invalid argument";
        case RERAZERA_ERR_NO_MEMORY:
            return "out of memory";
        case RERAZERA_ERR_NO_SUCH_FILE:
            return "no such file";
        case RERAZERA_ERR_NOT_REGULAR:
            return "not a regular file";
        case RERAZERA_ERR_TOO_LARGE:
            return "too large: 2 GiB or more";
        case RERAZERA_ERR_IO:
            return "input/output error";
        case RERAZERA_ERR_NOT_PACKAGE:
            return "not a package: shorter than a package header";
        case RERAZERA_ERR_CORRUPT:
            return "corrupt: a check failed";
        case RERAZERA_ERR_NOT_FOUND:
            return "not found";
        case RERAZERA_ERR_NAME_RULE:
            return "the package path contains '@' and the package lacks the rpg file";
        case RERAZERA_ERR_SINK:
            return "the output could not be written";
        case RERAZERA_ERR_STOPPED:
            return "stopped by the caller";
        case RERAZERA_ERR_BAD_STATE:
            return "corrupt or foreign checkpoint";
        case RERAZERA_ERR_TRUNCATED:
            return "the stream ended before the package did";
        case RERAZERA_ERR_NEEDS_SECOND_PASS:
            return "entries need a second pass over the package";
        case RERAZERA_ERR_MISUSE:
            return "call out of order";
        default:
            return "unknown result";
    }
}

RERAZERA_EXPORT const char *rerazera_reason_name(uint32_t reason) {
    switch (reason) {
        case RERAZERA_REASON_OK:
            return "ok";
        case RERAZERA_REASON_EMPTY:
            return "empty";
        case RERAZERA_REASON_OUT_OF_BOUNDS:
            return "out-of-bounds";
        case RERAZERA_REASON_TOO_SHORT:
            return "too-short";
        case RERAZERA_REASON_HEADER_CRC:
            return "header-crc-mismatch";
        case RERAZERA_REASON_PAYLOAD_OVERRUN:
            return "payload-overrun";
        case RERAZERA_REASON_PAYLOAD_CRC:
            return "payload-crc-mismatch";
        default:
            return "unknown";
    }
}

RERAZERA_EXPORT const char *rerazera_package_version(void) {
    return RERAZERA_PACKAGE_VERSION_TEXT;
}

RERAZERA_EXPORT const char *rerazera_crc_kernel(void) {
    return rerazera::crc_active_kernel().name;
}
