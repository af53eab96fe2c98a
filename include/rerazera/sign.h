// SPDX-License-Identifier: MIT
/*
 * rerazera/sign.h: detached signatures for QV packages (librerazera-sign).
 *
 * A QV package protects itself only with CRC-16 checksums, which anyone can
 * recompute after changing a sub-file. Authenticity comes from a detached
 * signature beside the package, PACKAGE.minisig, in the minisign format:
 *
 *   untrusted comment: <free text, not authenticated>
 *   base64( "ED" | key_id[8] | Ed25519(BLAKE2b-512(file))[64] )
 *   trusted comment: <text>
 *   base64( Ed25519(file signature[64] | trusted comment)[64] )
 *
 * Signatures made with `minisign -S` verify here, and signatures made by
 * `rerazera sign` verify with `minisign -V`. Public keys are minisign public
 * key files. The legacy algorithm "Ed" (the file signed without hashing it
 * first) is refused unless the caller passes RERAZERA_SIGN_ALLOW_LEGACY.
 *
 * Every function is reentrant and keeps no global state. A keyring may be
 * read by several threads at once (any number of verifications in
 * parallel), provided no thread adds or revokes a key meanwhile. Nothing is
 * read outside the named files, no function writes to stderr or aborts, and
 * every resource taken is released on every path.
 *
 * Link with -lrerazera-sign (CMake: rerazera::rerazera_sign); the library
 * itself needs libsodium and librerazera.
 */
#ifndef RERAZERA_SIGN_H
#define RERAZERA_SIGN_H

#include <stdint.h>

#if defined(__GNUC__) && !defined(RERAZERA_SIGN_STATIC)
#define RERAZERA_SIGN_API __attribute__((visibility("default")))
#else
#define RERAZERA_SIGN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. Every function of this header returns one of these. */
#define RERAZERA_SIGN_OK 0                  /* the signature (and package) check passed */
#define RERAZERA_SIGN_NO_SIGNATURE 1        /* the signature file does not exist */
#define RERAZERA_SIGN_MALFORMED 2           /* the signature file is not a minisign signature */
#define RERAZERA_SIGN_ALGORITHM_REFUSED 3   /* legacy "Ed" without the flag, or unknown */
#define RERAZERA_SIGN_UNKNOWN_KEY 4         /* signed by a key the keyring does not trust */
#define RERAZERA_SIGN_REVOKED_KEY 5         /* signed by a key whose ID was revoked */
#define RERAZERA_SIGN_MISMATCH 6            /* the file's signature does not match its bytes */
#define RERAZERA_SIGN_COMMENT_FORGED 7      /* the trusted comment is not the one signed */
#define RERAZERA_SIGN_IO_ERROR 8            /* a file could not be opened or read */
#define RERAZERA_SIGN_PACKAGE_FAILED 9      /* signature valid, the package check failed */
#define RERAZERA_SIGN_BAD_KEY 10            /* a public key file or text is malformed */
#define RERAZERA_SIGN_INVALID_ARGUMENT 11   /* a null pointer or an unusable argument */
#define RERAZERA_SIGN_NO_MEMORY 12          /* memory ran out */
#define RERAZERA_SIGN_CRYPTO_UNAVAILABLE 13 /* libsodium could not be initialised */

/* Flags for the verification calls. */
#define RERAZERA_SIGN_ALLOW_LEGACY 1u /* accept the legacy "Ed" algorithm */

/* Size of a key ID text: 16 upper-case hex digits and a NUL. */
#define RERAZERA_KEY_ID_TEXT_SIZE 17

/* A set of trusted public keys and of revoked key IDs. Opaque. */
typedef struct rerazera_keyring rerazera_keyring;

/*
 * What a signature file says, handed to the caller by the verification calls
 * and released with rerazera_signature_info_free(). key_id is the signing
 * key's ID as minisign prints it (the 8 ID bytes read as a little-endian
 * integer, 16 upper-case hex digits). trusted_comment is the comment line's
 * text, NUL-terminated; it is authenticated only when comment_verified is
 * non-zero (the result was RERAZERA_SIGN_OK or RERAZERA_SIGN_PACKAGE_FAILED).
 * legacy is non-zero for an "Ed" signature.
 */
typedef struct rerazera_signature_info {
    char key_id[RERAZERA_KEY_ID_TEXT_SIZE];
    char *trusted_comment;
    int comment_verified;
    int legacy;
} rerazera_signature_info;

/* A fixed English text for every code above; "unknown result code" for any
 * other value. The text is static: never free it. */
RERAZERA_SIGN_API const char *rerazera_sign_strerror(int32_t code);

/* Creates an empty keyring in *out. Returns OK, INVALID_ARGUMENT (out is
 * null) or NO_MEMORY; *out is written only on success. */
RERAZERA_SIGN_API int32_t rerazera_keyring_new(rerazera_keyring **out);

/* Releases a keyring and everything it holds; null is allowed. */
RERAZERA_SIGN_API void rerazera_keyring_free(rerazera_keyring *ring);

/* Trusts the public key in a minisign public key file (an optional
 * "untrusted comment:" line, then the base64 line). Returns OK, IO_ERROR (the
 * file cannot be read), BAD_KEY (not a minisign "Ed" public key),
 * INVALID_ARGUMENT or NO_MEMORY. Adding a key ID that is already trusted
 * replaces its key. The keyring is unchanged on failure. */
RERAZERA_SIGN_API int32_t rerazera_keyring_add_file(rerazera_keyring *ring, const char *path);

/* Trusts the public key given as its base64 text (the second line of a
 * public key file, or what `minisign -P` takes). Surrounding white space is
 * ignored. Returns OK, BAD_KEY, INVALID_ARGUMENT or NO_MEMORY. */
RERAZERA_SIGN_API int32_t rerazera_keyring_add_base64(rerazera_keyring *ring, const char *text);

/* Marks a key ID as revoked, given as 16 hex digits (either case) as
 * minisign prints it. A revoked ID is refused with REVOKED_KEY whether or not
 * its key is trusted. Returns OK, BAD_KEY (not 16 hex digits),
 * INVALID_ARGUMENT or NO_MEMORY. */
RERAZERA_SIGN_API int32_t rerazera_keyring_revoke(rerazera_keyring *ring, const char *key_id);

/* Number of trusted keys (revoked IDs not counted); 0 for null. */
RERAZERA_SIGN_API uint32_t rerazera_keyring_size(const rerazera_keyring *ring);

/*
 * Checks the detached signature of the file at path. sig_path names the
 * signature file; null means path followed by ".minisig". flags is 0 or
 * RERAZERA_SIGN_ALLOW_LEGACY. Checks, in order: the signature file is read
 * (NO_SIGNATURE when it does not exist, IO_ERROR when it cannot be read) and
 * parsed (MALFORMED); the algorithm (ALGORITHM_REFUSED); the key ID
 * (REVOKED_KEY, then UNKNOWN_KEY); the file's bytes, hashed with BLAKE2b-512
 * from one read-only mapping (IO_ERROR when the file cannot be opened or
 * mapped; MISMATCH); the trusted comment (COMMENT_FORGED). Returns OK when
 * all pass, or INVALID_ARGUMENT, NO_MEMORY or CRYPTO_UNAVAILABLE.
 *
 * When info is not null and the signature file could be parsed (every result
 * but NO_SIGNATURE, MALFORMED, IO_ERROR before the parse, INVALID_ARGUMENT,
 * NO_MEMORY and CRYPTO_UNAVAILABLE), *info receives a new record the caller
 * releases with rerazera_signature_info_free(); otherwise *info is set to
 * null. Cost: one pass over the file; any size the system can map.
 */
RERAZERA_SIGN_API int32_t rerazera_verify_signature(const rerazera_keyring *ring, const char *path,
                                                    const char *sig_path, uint32_t flags,
                                                    rerazera_signature_info **info);

/*
 * The signature check above and then the whole-package check of
 * QVPKG_ChkQVFileInfo, over one mapping of the package, so that the file is
 * read once. The signature file is parsed and its key checked first; then
 * the package is mapped as QVPKG_MapQVFile maps it, its signature checked
 * over the mapping, the package name rule applied (QVPKG_CheckFilename) and
 * the mapped package walked. The package part writes the same texts into
 * msg (which must hold a NUL-terminated text on entry, "" will do) and logs
 * the same lines as QVPKG_ChkQVFileInfo, with the same QVPKG_ result in
 * *package_result. A package that cannot be mapped leaves the mapping step's
 * text in msg; its signature is then checked on its own, and the result is
 * that check's code when it fails (IO_ERROR for a file that cannot be read)
 * or PACKAGE_FAILED with *package_result -1 when it holds.
 *
 * Returns OK when the signature and the package pass (*package_result 0),
 * PACKAGE_FAILED when the signature is valid and the package check failed
 * (*package_result the QVPKG_ code, msg its verdict), or any signature
 * result of rerazera_verify_signature, in which case the package was not
 * walked and *package_result is left alone. package_result may be null.
 * info as for rerazera_verify_signature. Packages of 2 GiB or more cannot be
 * mapped (the QVPKG_ limit).
 */
RERAZERA_SIGN_API int32_t rerazera_verify_package(const rerazera_keyring *ring, const char *path,
                                                  const char *sig_path, uint32_t flags, char *msg,
                                                  uint32_t msgSize, int32_t *package_result,
                                                  rerazera_signature_info **info);

/* Releases a record from the verification calls; null is allowed. */
RERAZERA_SIGN_API void rerazera_signature_info_free(rerazera_signature_info *info);

#ifdef __cplusplus
}
#endif

#endif /* RERAZERA_SIGN_H */
