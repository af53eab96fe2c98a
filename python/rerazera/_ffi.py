# SPDX-License-Identifier: MIT
"""The C declarations the module calls, and the loading of the libraries.

The declarations repeat those of rerazera/package.h and rerazera/sign.h that
the module uses (cffi's ABI mode: no compiler is needed to build or install
the module, and the shared objects are found at run time).
"""

from __future__ import annotations

import os
import threading
from typing import Any

import cffi  # type: ignore[import]

from . import _paths

ffi: Any = cffi.FFI()
ffi.cdef(
    """
    const char *rerazera_strerror(int32_t result);
    const char *rerazera_package_version(void);

    typedef struct rerazera_package rerazera_package;
    typedef void (*rerazera_log_fn)(void *ctx, const char *line);
    typedef struct rerazera_open_options {
        uint32_t flags;
        rerazera_log_fn log;
        void *log_ctx;
    } rerazera_open_options;

    int32_t rerazera_package_open_path(const char *path, const rerazera_open_options *options,
                                       rerazera_package **out);
    int32_t rerazera_package_open_fd(int fd, const rerazera_open_options *options,
                                     rerazera_package **out);
    int32_t rerazera_package_open_memory(const void *data, size_t size,
                                         const rerazera_open_options *options,
                                         rerazera_package **out);
    void rerazera_package_free(rerazera_package *pkg);

    typedef struct rerazera_header_info {
        uint64_t size;
        uint32_t file_num;
        uint32_t product_type;
        uint32_t header_crc_stored;
        uint32_t header_crc_computed;
        int32_t header_result;
        uint32_t extension_state;
        int32_t extension_result;
        uint32_t extension_count;
        uint64_t entry_count;
    } rerazera_header_info;
    int32_t rerazera_package_header(const rerazera_package *pkg, rerazera_header_info *out);

    typedef struct rerazera_entry {
        uint32_t table;
        uint32_t index;
        uint32_t file_id;
        uint32_t offset;
        uint32_t length;
        uint32_t crc;
        uint32_t aux0;
        uint32_t aux1;
        uint32_t flags;
        uint32_t data_len;
        uint32_t bin_file_id;
        uint32_t name_len;
        uint32_t description_len;
        char name[97];
        char description[129];
    } rerazera_entry;
    uint64_t rerazera_package_entry_count(const rerazera_package *pkg);
    int32_t rerazera_package_entry(const rerazera_package *pkg, uint64_t k, rerazera_entry *out);
    int32_t rerazera_package_find_id(const rerazera_package *pkg, uint32_t file_id,
                                     rerazera_entry *out);
    int32_t rerazera_package_find_name(const rerazera_package *pkg, const char *name,
                                       rerazera_entry *out);
    int32_t rerazera_package_find_description(const rerazera_package *pkg, const char *text,
                                              rerazera_entry *out);

    int32_t rerazera_package_verify(const rerazera_package *pkg, char *msg, size_t msg_size,
                                    int32_t *qvpkg_result);
    const char *rerazera_reason_name(uint32_t reason);
    typedef struct rerazera_entry_report {
        rerazera_entry entry;
        uint32_t reason;
        int32_t ok;
        uint32_t computed;
        uint32_t head_crc_stored;
        uint32_t head_crc_computed;
        uint32_t crc_stored;
        uint32_t crc_computed;
    } rerazera_entry_report;
    typedef int (*rerazera_report_fn)(void *ctx, const rerazera_entry_report *report);
    int32_t rerazera_package_report(const rerazera_package *pkg, rerazera_report_fn fn,
                                    void *ctx);
    int32_t rerazera_package_check_entry(const rerazera_package *pkg,
                                         const rerazera_entry *entry,
                                         rerazera_entry_report *out);

    typedef int (*rerazera_write_fn)(void *ctx, const void *data, size_t len);
    int32_t rerazera_package_extract(const rerazera_package *pkg, const rerazera_entry *entry,
                                     uint32_t flags, rerazera_write_fn write, void *ctx);
    int32_t rerazera_package_extract_fd(const rerazera_package *pkg,
                                        const rerazera_entry *entry, uint32_t flags, int fd);

    typedef struct rerazera_stream rerazera_stream;
    typedef int (*rerazera_stream_entry_fn)(void *ctx, const rerazera_entry_report *report);
    typedef struct rerazera_stream_options {
        rerazera_stream_entry_fn on_entry;
        void *ctx;
        rerazera_log_fn log;
        void *log_ctx;
    } rerazera_stream_options;
    int32_t rerazera_stream_new(const rerazera_stream_options *options, rerazera_stream **out);
    int32_t rerazera_stream_feed(rerazera_stream *stream, const void *data, size_t len);
    uint64_t rerazera_stream_offset(const rerazera_stream *stream);
    uint64_t rerazera_stream_pending(const rerazera_stream *stream);
    int32_t rerazera_stream_finish(rerazera_stream *stream, int seek_fd, char *msg,
                                   size_t msg_size, int32_t *qvpkg_result);
    int32_t rerazera_stream_checkpoint(const rerazera_stream *stream, void **state,
                                       size_t *state_len);
    int32_t rerazera_stream_resume(const void *state, size_t state_len,
                                   const rerazera_stream_options *options,
                                   rerazera_stream **out);
    void rerazera_stream_free(rerazera_stream *stream);

    void free(void *ptr);
    """
)

SIGN_CDEF = """
    typedef struct rerazera_keyring rerazera_keyring;
    typedef struct rerazera_signature_info {
        char key_id[17];
        char *trusted_comment;
        int comment_verified;
        int legacy;
    } rerazera_signature_info;
    const char *rerazera_sign_strerror(int32_t code);
    int32_t rerazera_keyring_new(rerazera_keyring **out);
    void rerazera_keyring_free(rerazera_keyring *ring);
    int32_t rerazera_keyring_add_file(rerazera_keyring *ring, const char *path);
    int32_t rerazera_keyring_add_base64(rerazera_keyring *ring, const char *text);
    int32_t rerazera_keyring_revoke(rerazera_keyring *ring, const char *key_id);
    uint32_t rerazera_keyring_size(const rerazera_keyring *ring);
    int32_t rerazera_verify_signature(const rerazera_keyring *ring, const char *path,
                                      const char *sig_path, uint32_t flags,
                                      rerazera_signature_info **info);
    int32_t rerazera_verify_package(const rerazera_keyring *ring, const char *path,
                                    const char *sig_path, uint32_t flags, char *msg,
                                    uint32_t msgSize, int32_t *package_result,
                                    rerazera_signature_info **info);
    void rerazera_signature_info_free(rerazera_signature_info *info);

    int32_t rerazera_version_compare(const char *a, const char *b, int *order);
    typedef struct rerazera_policy rerazera_policy;
    int32_t rerazera_policy_new(rerazera_policy **out);
    void rerazera_policy_free(rerazera_policy *policy);
    int32_t rerazera_policy_set_keyring(rerazera_policy *policy, const rerazera_keyring *ring);
    int32_t rerazera_policy_set_product_type(rerazera_policy *policy, uint32_t product_type);
    int32_t rerazera_policy_set_min_version(rerazera_policy *policy, const char *version);
    int32_t rerazera_policy_allow_legacy(rerazera_policy *policy, int allow);

    typedef struct rerazera_secret_key rerazera_secret_key;
    int32_t rerazera_keygen(const char *password, char **public_file, char **secret_file,
                            char key_id[17]);
    void rerazera_secret_text_free(char *text);
    int32_t rerazera_secret_key_read(const char *path, const char *password,
                                     rerazera_secret_key **out);
    void rerazera_secret_key_free(rerazera_secret_key *key);
    void rerazera_secret_key_id(const rerazera_secret_key *key, char key_id[17]);
    int32_t rerazera_sign_file(const rerazera_secret_key *key, const char *path,
                               const char *trusted_comment, const char *untrusted_comment,
                               char **signature_file);

    typedef struct rerazera_index rerazera_index;
    typedef struct rerazera_index_info {
        uint64_t size;
        uint32_t digest;
        uint32_t block_size;
        uint64_t block_count;
        uint64_t entry_count;
        uint32_t product_type;
    } rerazera_index_info;
    int32_t rerazera_index_build(const char *path, uint32_t digest, uint32_t block_size,
                                 char **index_text, size_t *index_len);
    int32_t rerazera_index_open(const rerazera_policy *policy, const char *path,
                                const char *sig_path, rerazera_index **out,
                                rerazera_signature_info **info);
    int32_t rerazera_index_get_info(const rerazera_index *index, rerazera_index_info *out);
    void rerazera_index_free(rerazera_index *index);

    typedef struct rerazera_signed_stream rerazera_signed_stream;
    typedef int (*rerazera_sink_fn)(void *ctx, const void *data, size_t len);
    typedef struct rerazera_stream_failure {
        int32_t result;
        int32_t stream_result;
        uint64_t block;
        uint64_t offset;
        uint64_t length;
        int32_t has_entry;
        uint32_t table;
        uint32_t index;
    } rerazera_stream_failure;
    int32_t rerazera_signed_stream_new(const rerazera_index *index, rerazera_sink_fn sink,
                                       void *sink_ctx, const rerazera_stream_options *options,
                                       rerazera_signed_stream **out);
    int32_t rerazera_signed_stream_feed(rerazera_signed_stream *stream, const void *data,
                                        size_t len);
    uint64_t rerazera_signed_stream_proven(const rerazera_signed_stream *stream);
    int32_t rerazera_signed_stream_finish(rerazera_signed_stream *stream, char *msg,
                                          size_t msg_size, int32_t *qvpkg_result);
    int32_t rerazera_signed_stream_failure(const rerazera_signed_stream *stream,
                                           rerazera_stream_failure *out);
    void rerazera_signed_stream_free(rerazera_signed_stream *stream);
"""
ffi.cdef(SIGN_CDEF)


def _dlopen(name: str, directory: str | None) -> Any:
    """Opens a shared object from the build tree when the build named one,
    else through the system's loader path."""
    if directory:
        candidate = os.path.join(directory, name)
        if os.path.exists(candidate):
            return ffi.dlopen(candidate)
    return ffi.dlopen(name)


lib: Any = _dlopen("librerazera-package.so.1", _paths.PACKAGE_LIBRARY_DIR)
libc: Any = ffi.dlopen(None)

_sign_lock = threading.Lock()
_sign: Any = None


def sign_lib() -> Any:
    """The signing library, opened on first use (it pulls in libsodium)."""
    global _sign
    with _sign_lock:
        if _sign is None:
            _sign = _dlopen("librerazera-sign.so.1", _paths.SIGN_LIBRARY_DIR)
        return _sign
