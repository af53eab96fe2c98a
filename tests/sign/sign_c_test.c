// SPDX-License-Identifier: MIT
/* The signature header compiles as strict C99, and a C program links
 * librerazera-sign and calls it: a missing signature file, with the info
 * pointer cleared. */
#include <rerazera/sign.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    rerazera_keyring *ring = NULL;
    rerazera_signature_info *info = (rerazera_signature_info *)1;
    int32_t r = RERAZERA_SIGN_OK;
    if (rerazera_keyring_new(&ring) != RERAZERA_SIGN_OK || rerazera_keyring_size(ring) != 0) {
        return 1;
    }
    r = rerazera_verify_signature(ring, "/nonexistent/package.qv", NULL, 0, &info);
    rerazera_signature_info_free(NULL);
    rerazera_keyring_free(ring);
    if (r != RERAZERA_SIGN_NO_SIGNATURE || info != NULL ||
        strcmp(rerazera_sign_strerror(r), "no signature file") != 0) {
        fprintf(stderr, "result %d\n", (int)r);
        return 1;
    }
    return 0;
}
