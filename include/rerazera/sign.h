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
 * Link with -lrerazera-sign (CMake: rerazera::sign); the library
 * itself needs libsodium and librerazera.
 */
#ifndef RERAZERA_SIGN_H
#define RERAZERA_SIGN_H

#include <stddef.h>
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
/* Since 1.1: the refusals of a verification policy, and the signing calls. */
#define RERAZERA_SIGN_PRODUCT_TYPE_MISMATCH 14 /* signed for another product type */
#define RERAZERA_SIGN_VERSION_TOO_OLD 15       /* the version is below the policy's minimum */
#define RERAZERA_SIGN_VERSION_MISSING 16       /* a minimum is set and no version was signed */
#define RERAZERA_SIGN_VERSION_MALFORMED 17     /* a version that is not dotted integers */
#define RERAZERA_SIGN_KEY_CONFLICT 18          /* another key with a key ID already trusted */
#define RERAZERA_SIGN_NEEDS_PASSWORD 19        /* the secret key is encrypted, no password given */
#define RERAZERA_SIGN_WRONG_PASSWORD 20        /* the password does not decrypt the secret key */
#define RERAZERA_SIGN_BAD_SECRET_KEY 21        /* not a minisign secret key file */
#define RERAZERA_SIGN_KDF_FAILED 22            /* scrypt failed (not enough memory) */
#define RERAZERA_SIGN_BAD_COMMENT 23           /* a comment with a line break or control byte */
#define RERAZERA_SIGN_SIGNER_FAILED 24         /* the external signer reported a failure */
#define RERAZERA_SIGN_SIGNER_WRONG_KEY 25      /* its signature does not verify with the key */

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

/*
 * ---- Since 1.1 ----
 *
 * Trusted comments. `rerazera sign` writes the trusted comment as
 * tab-separated key:value fields, which minisign shows as they are:
 *
 *   timestamp:1700000000<TAB>file:fw.qv<TAB>size:4096<TAB>product-type:42
 *   <TAB>version:2.10.1
 *
 * product-type is the decimal product type the package was signed for;
 * version is the release's version: one or more decimal integers joined by
 * dots ("7", "2.10.1"), at most 64 characters. Versions are compared field
 * by field as integers, leading zeros ignored, and missing fields count as
 * 0: 2.9 < 2.10 < 2.10.1, and 1.2 == 1.2.0 == 01.2. A field name that occurs
 * twice makes the comment's value for it malformed.
 */

/* Compares two versions: *order receives -1, 0 or 1 for a < b, a == b,
 * a > b. Returns OK, VERSION_MALFORMED or INVALID_ARGUMENT. */
RERAZERA_SIGN_API int32_t rerazera_version_compare(const char *a, const char *b, int *order);

/* As rerazera_keyring_add_file, but a key whose ID is already trusted with a
 * different key is refused with KEY_CONFLICT instead of replacing it (the
 * same key again is accepted and changes nothing). */
RERAZERA_SIGN_API int32_t rerazera_keyring_add_file_unique(rerazera_keyring *ring,
                                                           const char *path);

/*
 * A verification policy: what a device accepts. Opaque; made with
 * rerazera_policy_new() (no keyring, no product type, no minimum version,
 * legacy signatures refused) and released with rerazera_policy_free(). A
 * policy borrows its keyring, which must outlive every verification that
 * uses it. A policy that is not changed may be used by several threads at
 * once.
 */
typedef struct rerazera_policy rerazera_policy;

RERAZERA_SIGN_API int32_t rerazera_policy_new(rerazera_policy **out);
RERAZERA_SIGN_API void rerazera_policy_free(rerazera_policy *policy);
/* The trusted keys. Returns OK or INVALID_ARGUMENT (a null argument). */
RERAZERA_SIGN_API int32_t rerazera_policy_set_keyring(rerazera_policy *policy,
                                                      const rerazera_keyring *ring);
/* The device's own product type: the package header's product type must
 * equal it. Returns OK or INVALID_ARGUMENT. */
RERAZERA_SIGN_API int32_t rerazera_policy_set_product_type(rerazera_policy *policy,
                                                           uint32_t product_type);
/* The lowest version accepted (rollback protection); null removes the floor.
 * Returns OK, VERSION_MALFORMED (the policy unchanged) or INVALID_ARGUMENT. */
RERAZERA_SIGN_API int32_t rerazera_policy_set_min_version(rerazera_policy *policy,
                                                          const char *version);
/* Non-zero accepts minisign's legacy "Ed" signatures. Returns OK or
 * INVALID_ARGUMENT. */
RERAZERA_SIGN_API int32_t rerazera_policy_allow_legacy(rerazera_policy *policy, int allow);

/*
 * The check a device should make before it installs a package: everything
 * rerazera_verify_package does (same arguments, same msg texts and log
 * lines, same results), and then, once the signature and the package have
 * passed, the policy:
 *   - PRODUCT_TYPE_MISMATCH: the trusted comment's product-type field (when
 *     it has one) differs from the package header's product type, or the
 *     policy sets a product type and the header's differs from it;
 *   - VERSION_MISSING, VERSION_MALFORMED, VERSION_TOO_OLD: the policy sets a
 *     minimum version and the trusted comment has no version field, one that
 *     is not a version, or one below the minimum.
 * *package_result is the QVPKG_ result as for rerazera_verify_package (0
 * when a policy refusal is returned). INVALID_ARGUMENT for a policy without
 * a keyring.
 *
 * rerazera_verify_package, kept for the callers of 1.0, makes none of these
 * checks: a package signed for another product type, or an old release,
 * passes it. New code should use this call.
 */
RERAZERA_SIGN_API int32_t rerazera_verify_package_policy(const rerazera_policy *policy,
                                                         const char *path, const char *sig_path,
                                                         char *msg, uint32_t msgSize,
                                                         int32_t *package_result,
                                                         rerazera_signature_info **info);

/*
 * rerazera_verify_package_policy over the size bytes at data, which the
 * caller holds and keeps unchanged during the call: typically a package
 * handle's snapshot, rerazera_package_bytes(pkg, 0, size), so that the bytes
 * whose signature is checked are the bytes the package check reads and the
 * bytes the caller then extracts from the same handle:
 *
 *     rerazera_header_info h;
 *     rerazera_package_open_fd(fd, NULL, &pkg);
 *     rerazera_package_header(pkg, &h);
 *     r = rerazera_verify_bytes_policy(policy, rerazera_package_bytes(pkg, 0, h.size),
 *                                      h.size, "fw.qv.minisig", msg, sizeof msg, &qv, NULL);
 *     if (r == RERAZERA_SIGN_OK) rerazera_package_extract_fd(pkg, &entry, 0, out);
 *
 * sig_path is required (there is no package path to derive it from). The
 * name rule is not applied: it needs a path. Results, texts and log lines
 * are those of rerazera_verify_package_policy; bytes of 2 GiB or more, or
 * fewer than a header, fail as a package (QVPKG_ERR) with the one-call
 * check's text. INVALID_ARGUMENT when data or sig_path is null.
 */
RERAZERA_SIGN_API int32_t rerazera_verify_bytes_policy(const rerazera_policy *policy,
                                                       const void *data, size_t size,
                                                       const char *sig_path, char *msg,
                                                       uint32_t msgSize, int32_t *package_result,
                                                       rerazera_signature_info **info);

/*
 * Signing. A secret key is read from a minisign secret key file; keys are
 * made in minisign's format, so that minisign can use them as well.
 */
typedef struct rerazera_secret_key rerazera_secret_key;

/* A new key pair: *public_file and *secret_file receive the texts of the two
 * files (malloc'ed; release the secret one with rerazera_secret_text_free,
 * which wipes it), key_id its ID text. With a password (non-empty) the
 * secret key is encrypted as minisign encrypts it (scrypt, about 1 GiB and
 * some seconds); null stores it unencrypted. Returns OK, INVALID_ARGUMENT,
 * KDF_FAILED, NO_MEMORY or CRYPTO_UNAVAILABLE; nothing is written on
 * failure. */
RERAZERA_SIGN_API int32_t rerazera_keygen(const char *password, char **public_file,
                                          char **secret_file,
                                          char key_id[RERAZERA_KEY_ID_TEXT_SIZE]);

/* Wipes and frees a secret text; null is allowed. */
RERAZERA_SIGN_API void rerazera_secret_text_free(char *text);

/* Reads the secret key file at path (a regular file of at most 4096 bytes).
 * password may be null for an unencrypted key. Returns OK, IO_ERROR,
 * BAD_SECRET_KEY, NEEDS_PASSWORD, WRONG_PASSWORD, KDF_FAILED,
 * INVALID_ARGUMENT, NO_MEMORY or CRYPTO_UNAVAILABLE. */
RERAZERA_SIGN_API int32_t rerazera_secret_key_read(const char *path, const char *password,
                                                   rerazera_secret_key **out);

/* Wipes and releases a secret key; null is allowed. */
RERAZERA_SIGN_API void rerazera_secret_key_free(rerazera_secret_key *key);

/* The key's ID text. */
RERAZERA_SIGN_API void rerazera_secret_key_id(const rerazera_secret_key *key,
                                              char key_id[RERAZERA_KEY_ID_TEXT_SIZE]);

/*
 * Signs the file at path in minisign's prehashed format ("ED"):
 * *signature_file receives the whole signature file's text (malloc'ed).
 * trusted_comment and untrusted_comment are single lines of printable text
 * (tabs allowed in the trusted one; BAD_COMMENT otherwise), at most 8000
 * bytes. The signature is checked against the key's public key before it
 * is handed out. Returns OK, IO_ERROR (path cannot be opened or mapped, or
 * is not a regular file), BAD_COMMENT, INVALID_ARGUMENT, NO_MEMORY or
 * CRYPTO_UNAVAILABLE.
 */
RERAZERA_SIGN_API int32_t rerazera_sign_file(const rerazera_secret_key *key, const char *path,
                                             const char *trusted_comment,
                                             const char *untrusted_comment, char **signature_file);

/*
 * Signing with a key held elsewhere: a PKCS#11 token, a KMS, a signer on
 * another machine. The callback makes one Ed25519 signature (64 bytes into
 * signature) over the len bytes at message and returns 0, or nonzero when
 * it cannot. It is called twice: over the file's BLAKE2b-512 digest, then
 * over that signature followed by the trusted comment, as minisign signs.
 */
typedef int (*rerazera_signer_fn)(void *ctx, const uint8_t *message, size_t len,
                                  uint8_t signature[64]);

/*
 * As rerazera_sign_file, with the key ID and public key from the minisign
 * public key file at public_key_path and the signatures from signer. Each
 * signature is checked against that public key as soon as it is made, so a
 * signer holding another key is caught before anything is handed out.
 * key_id (may be null) receives the key's ID text on success.
 * Returns OK, BAD_KEY, IO_ERROR (either file), BAD_COMMENT, SIGNER_FAILED,
 * SIGNER_WRONG_KEY, INVALID_ARGUMENT, NO_MEMORY or CRYPTO_UNAVAILABLE.
 */
RERAZERA_SIGN_API int32_t rerazera_sign_file_external(const char *public_key_path,
                                                      rerazera_signer_fn signer, void *ctx,
                                                      const char *path, const char *trusted_comment,
                                                      const char *untrusted_comment,
                                                      char **signature_file,
                                                      char key_id[RERAZERA_KEY_ID_TEXT_SIZE]);

#ifdef __cplusplus
}
#endif

#endif /* RERAZERA_SIGN_H */
