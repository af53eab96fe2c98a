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
 * itself needs libsodium, librerazera and librerazera-package (whose stream
 * types the signed index's strict stream takes).
 */
#ifndef RERAZERA_SIGN_H
#define RERAZERA_SIGN_H

#include <stddef.h>
#include <stdint.h>

#include "rerazera/package.h"

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
/* Since 1.2: signed indexes and the strict stream. */
#define RERAZERA_SIGN_INDEX_MALFORMED 26 /* not an index of a version this library reads */
#define RERAZERA_SIGN_BLOCK_MISMATCH 27  /* a block's bytes differ from the index's digest */
#define RERAZERA_SIGN_LENGTH_MISMATCH 28 /* more or fewer bytes than the index covers */
#define RERAZERA_SIGN_SINK_FAILED 29     /* the caller's sink returned non-zero */
#define RERAZERA_SIGN_STOPPED 30         /* the caller's entry callback asked to stop */
#define RERAZERA_SIGN_STREAM_FAILED 31   /* the package stream refused (see its result) */

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

/*
 * ---- Since 1.2: signed indexes ----
 *
 * A detached signature gives its verdict only after the last byte of the
 * package, and the CRC-16 checks of the streaming verifier prove nothing
 * about who made the bytes. An index, PACKAGE.index, holds a digest of
 * every fixed-size block of the package file; signed as PACKAGE.index.minisig
 * (an ordinary minisign signature, which `minisign -Vm PACKAGE.index`
 * checks), it lets a receiver prove each block as it arrives, long before
 * the end. The format is a short text, described in docs/signing.md:
 *
 *   rerazera-index 1
 *   digest blake2b-256
 *   size 4202496
 *   block 1048576
 *   product-type 42
 *   entries 2
 *   entry 0 0 6180 2097152
 *   entry 0 1 2103332 2099164
 *   blocks 5
 *   <64 lower-case hex digits>      (one line per block, in file order)
 *
 * Block i covers bytes [i * block, min((i + 1) * block, size)). An entry
 * line names a sub-file (table, index, offset, length) so that a refusal
 * can say which sub-files the failing block holds.
 */

/* The digests an index may use. */
#define RERAZERA_INDEX_BLAKE2B_256 1u /* BLAKE2b with a 32-byte output (default) */
#define RERAZERA_INDEX_SHA256 2u      /* SHA-256 */

/* Block sizes: a power of two from 4 KiB to 64 MiB; 0 means 1 MiB. */
#define RERAZERA_INDEX_MIN_BLOCK 4096u
#define RERAZERA_INDEX_MAX_BLOCK (64u << 20)
#define RERAZERA_INDEX_DEFAULT_BLOCK (1u << 20)

/* An index file is at most this many bytes; a larger one is refused. */
#define RERAZERA_INDEX_MAX_FILE (64u << 20)

/*
 * The index text of the package at path: *index_text receives it (malloc'ed,
 * NUL-terminated, *index_len bytes without the NUL). The package is read
 * through one snapshot (rerazera_package_open_path); its entries are those
 * the package API lists, and the ones that lie wholly inside the file and
 * are not empty get an entry line. The package is not judged: sign only
 * packages that pass their checks. Returns OK, IO_ERROR (the package cannot
 * be opened, is shorter than a header or 2 GiB and more), INVALID_ARGUMENT
 * (an unknown digest or a block size that is not allowed), NO_MEMORY or
 * CRYPTO_UNAVAILABLE.
 */
RERAZERA_SIGN_API int32_t rerazera_index_build(const char *path, uint32_t digest,
                                               uint32_t block_size, char **index_text,
                                               size_t *index_len);

/* A parsed index. Opaque; immutable once made, so any number of threads may
 * use it at once. */
typedef struct rerazera_index rerazera_index;

/* What an index states. */
typedef struct rerazera_index_info {
    uint64_t size;         /* the package's size in bytes */
    uint32_t digest;       /* RERAZERA_INDEX_* */
    uint32_t block_size;   /* bytes per block (the last one may be shorter) */
    uint64_t block_count;  /* ceil(size / block_size) */
    uint64_t entry_count;  /* entry lines */
    uint32_t product_type; /* the package header's product type */
} rerazera_index_info;

/*
 * Parses len bytes of index text WITHOUT checking any signature: for tools
 * that show an index, and for tests. Everything is checked against what the
 * size implies: the block count must be exactly ceil(size / block), entries
 * must lie within the package and number at most 256 + 1,048,575, and text
 * past the last digest line is refused. Returns OK, INDEX_MALFORMED,
 * INVALID_ARGUMENT or NO_MEMORY. Memory: about 32 bytes per block and 16 per
 * entry.
 */
RERAZERA_SIGN_API int32_t rerazera_index_parse(const void *text, size_t len, rerazera_index **out);

/*
 * The index a device should trust: reads the index file at path (at most
 * RERAZERA_INDEX_MAX_FILE bytes) once, checks sig_path (null: path followed
 * by ".minisig") over those very bytes with the policy's keyring and legacy
 * setting, applies the policy to the trusted comment as
 * rerazera_verify_package_policy does (product type, against the index's
 * product-type line; the version floor), and only then parses it. Returns OK
 * with *out set, a signature or policy refusal (NO_SIGNATURE, MALFORMED,
 * ALGORITHM_REFUSED, UNKNOWN_KEY, REVOKED_KEY, MISMATCH, COMMENT_FORGED,
 * PRODUCT_TYPE_MISMATCH, VERSION_*), INDEX_MALFORMED (signed, but not an
 * index this library reads; or over the size limit, then refused unread and
 * *info null), IO_ERROR, INVALID_ARGUMENT (a policy without a
 * keyring), NO_MEMORY or CRYPTO_UNAVAILABLE. info as for
 * rerazera_verify_signature.
 */
RERAZERA_SIGN_API int32_t rerazera_index_open(const rerazera_policy *policy, const char *path,
                                              const char *sig_path, rerazera_index **out,
                                              rerazera_signature_info **info);

/* Fills *out. Returns OK or INVALID_ARGUMENT. */
RERAZERA_SIGN_API int32_t rerazera_index_get_info(const rerazera_index *index,
                                                  rerazera_index_info *out);

/* Releases an index; null is allowed. */
RERAZERA_SIGN_API void rerazera_index_free(rerazera_index *index);

/*
 * The strict stream: a package's bytes fed in any chunking, checked block by
 * block against a (verified) index before the sink sees any of them. Bytes
 * are gathered into a buffer of one block; when a block is complete its
 * digest is compared with the index's, and only when it matches are its
 * bytes fed to a rerazera_stream (so the per-entry reports through
 * options->on_entry, and the final verdict, are those of the streaming
 * verifier) and then handed to the sink, from that buffer. A block that does
 * not match stops the stream: nothing of it reaches the sink or the entry
 * callback, and every later call returns the same refusal. Memory: one block
 * and the rerazera_stream's own, beside the index, which the stream borrows
 * and which must outlive it. One thread at a time.
 */
typedef struct rerazera_signed_stream rerazera_signed_stream;

/* Takes len proven bytes; returns 0, or non-zero to stop with SINK_FAILED. */
typedef int (*rerazera_sink_fn)(void *ctx, const void *data, size_t len);

/* Where and why a strict stream stopped. */
typedef struct rerazera_stream_failure {
    int32_t result;        /* the refusal (OK while none) */
    int32_t stream_result; /* the rerazera_stream's code for STREAM_FAILED, else 0 */
    uint64_t block;        /* the failing block (BLOCK_MISMATCH), or the one being filled */
    uint64_t offset;       /* that block's first byte (bytes past the end: the size) */
    uint64_t length;       /* that block's length (bytes past the end: 0) */
    int32_t has_entry;     /* non-zero: the block holds bytes of the entry below */
    uint32_t table;        /* the first such entry (lowest offset) */
    uint32_t index;
} rerazera_stream_failure;

/* Creates a strict stream over index (not copied) handing proven bytes to
 * sink (may be null: only the verdicts are wanted). options as for
 * rerazera_stream_new (may be null). Returns OK, INVALID_ARGUMENT, NO_MEMORY,
 * STREAM_FAILED or CRYPTO_UNAVAILABLE. */
RERAZERA_SIGN_API int32_t rerazera_signed_stream_new(const rerazera_index *index,
                                                     rerazera_sink_fn sink, void *sink_ctx,
                                                     const rerazera_stream_options *options,
                                                     rerazera_signed_stream **out);

/* Feeds len bytes (data may be null when len is 0). Returns OK,
 * BLOCK_MISMATCH, LENGTH_MISMATCH (bytes past the index's size), SINK_FAILED,
 * STOPPED, STREAM_FAILED, INVALID_ARGUMENT (after finish, or data null), or
 * the refusal that stopped the stream earlier. */
RERAZERA_SIGN_API int32_t rerazera_signed_stream_feed(rerazera_signed_stream *stream,
                                                      const void *data, size_t len);

/* Bytes handed to the sink so far: every one of them proven. */
RERAZERA_SIGN_API uint64_t rerazera_signed_stream_proven(const rerazera_signed_stream *stream);

/* Ends the stream. LENGTH_MISMATCH when fewer bytes came than the index
 * covers; otherwise the streaming verifier's verdict: msg and *qvpkg_result
 * (both may be null) as rerazera_stream_finish gives them, and OK when the
 * package passed, PACKAGE_FAILED when the verdict is a failure, or
 * STREAM_FAILED (a layout that needs a second pass). Returns the refusal
 * that stopped the stream earlier, if any. */
RERAZERA_SIGN_API int32_t rerazera_signed_stream_finish(rerazera_signed_stream *stream, char *msg,
                                                        size_t msg_size, int32_t *qvpkg_result);

/* Fills *out with the stream's refusal and where it happened. Returns OK or
 * INVALID_ARGUMENT. */
RERAZERA_SIGN_API int32_t rerazera_signed_stream_failure(const rerazera_signed_stream *stream,
                                                         rerazera_stream_failure *out);

/* Releases a strict stream; null is allowed. */
RERAZERA_SIGN_API void rerazera_signed_stream_free(rerazera_signed_stream *stream);

/*
 * ---- Since 1.2: signing in two steps ----
 *
 * For a signer on another machine: the build machine records what is to be
 * signed (the file's BLAKE2b-512 digest and the comments), the signer makes
 * both signatures from that record alone, and the build machine checks the
 * result against the file before keeping it.
 */

/* The key ID text of the minisign public key file at public_key_path.
 * Returns OK, IO_ERROR, BAD_KEY or INVALID_ARGUMENT. */
RERAZERA_SIGN_API int32_t rerazera_public_key_file_id(const char *public_key_path,
                                                      char key_id[RERAZERA_KEY_ID_TEXT_SIZE]);

/* The BLAKE2b-512 digest of the file at path, the bytes an "ED" signature
 * signs. Returns OK, IO_ERROR, INVALID_ARGUMENT or CRYPTO_UNAVAILABLE. */
RERAZERA_SIGN_API int32_t rerazera_file_digest(const char *path, uint8_t digest[64]);

/* As rerazera_sign_file, over a file's digest (rerazera_file_digest)
 * instead of the file. Both signatures are checked against the key's public
 * key before the text is handed out. Returns OK, BAD_COMMENT,
 * INVALID_ARGUMENT, NO_MEMORY or CRYPTO_UNAVAILABLE. */
RERAZERA_SIGN_API int32_t rerazera_sign_digest(const rerazera_secret_key *key,
                                               const uint8_t digest[64],
                                               const char *trusted_comment,
                                               const char *untrusted_comment,
                                               char **signature_file);

/* As rerazera_sign_file_external, over a file's digest instead of the file.
 * Returns OK, BAD_KEY, IO_ERROR (the public key file), BAD_COMMENT,
 * SIGNER_FAILED, SIGNER_WRONG_KEY, INVALID_ARGUMENT, NO_MEMORY or
 * CRYPTO_UNAVAILABLE. */
RERAZERA_SIGN_API int32_t rerazera_sign_digest_external(
    const char *public_key_path, rerazera_signer_fn signer, void *ctx, const uint8_t digest[64],
    const char *trusted_comment, const char *untrusted_comment, char **signature_file,
    char key_id[RERAZERA_KEY_ID_TEXT_SIZE]);

#ifdef __cplusplus
}
#endif

#endif /* RERAZERA_SIGN_H */
