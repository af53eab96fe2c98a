/* The signature header compiles as strict C99, and a C program links
 * librerazera-sign and calls it. */
#include <rerazera/sign.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    rerazera_keyring *ring = NULL;
    rerazera_signature_info *info = NULL;
    int32_t r;
    if (rerazera_keyring_new(&ring) != RERAZERA_SIGN_OK || rerazera_keyring_size(ring) != 0) {
        return 1;
    }
    /* A missing signature file, with the info pointer cleared. */
    info = (rerazera_signature_info *)1;
    r = rerazera_verify_signature(ring, "/nonexistent/package.qv", NULL, 0, &info);
    if (r != RERAZERA_SIGN_NO_SIGNATURE || info != NULL) {
        fprintf(stderr, "result %d\n", (int)r);
        return 1;
    }
    if (strcmp(rerazera_sign_strerror(r), "no signature file") != 0) {
        return 1;
    }
    rerazera_signature_info_free(NULL);
    rerazera_keyring_free(ring);
    return 0;
}
