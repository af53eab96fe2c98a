// SPDX-License-Identifier: MIT
// The exported index functions: building an index from a package, reading
// one whose signature holds, and the strict stream that proves each block
// against it before any of its bytes go further.
#include <sodium.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rerazera/package.h"
#include "rerazera/sign.h"
#include "sign/api_support.hpp"
#include "sign/file_io.hpp"
#include "sign/index.hpp"
#include "sign/policy.hpp"
#include "sign/signature_check.hpp"

struct rerazera_index {
    rerazera::sign::Index index;
};

namespace {

namespace rs = rerazera::sign;
using rs::guarded;

using PackagePtr = std::unique_ptr<rerazera_package, decltype(&rerazera_package_free)>;
using StreamPtr = std::unique_ptr<rerazera_stream, decltype(&rerazera_stream_free)>;

// Lists the entries worth naming: not empty and wholly inside the file.
bool collect_entries(const rerazera_package *pkg, std::uint64_t size, rs::Index &index) {
    std::vector<rerazera_descriptor> batch(4096);
    for (std::uint64_t first = 0;;) {
        std::size_t filled = 0;
        if (rerazera_package_descriptors(pkg, first, batch.data(), batch.size(), &filled) !=
            RERAZERA_OK) {
            return false;
        }
        for (std::size_t i = 0; i < filled; ++i) {
            const rerazera_descriptor &d = batch[i];
            if (d.length != 0 && std::uint64_t{d.offset} + d.length <= size) {
                index.entries.push_back({d.table, d.index, d.offset, d.length});
            }
        }
        if (filled < batch.size()) {
            return true;
        }
        first += filled;
    }
}

}  // namespace

struct rerazera_signed_stream {
    const rs::Index *index = nullptr;
    rerazera_sink_fn sink = nullptr;
    void *sinkCtx = nullptr;
    StreamPtr inner{nullptr, &rerazera_stream_free};
    std::vector<std::uint8_t> block;  // the block being gathered, never handed out unproven
    std::size_t fill = 0;
    std::uint64_t current = 0;  // the block being gathered
    std::uint64_t proven = 0;
    bool finished = false;
    rerazera_stream_failure failure{};

    // Records the refusal once; every later call returns it.
    std::int32_t fail(std::int32_t result, std::int32_t streamResult = 0) {
        failure.result = result;
        failure.stream_result = streamResult;
        failure.block = current;
        // Past the last block: where the bytes the index does not cover begin.
        const bool past = current == index->blocks.size();
        failure.offset = past ? index->size : current * index->block;
        failure.length = past ? 0 : index->block_length(current);
        if (const rs::IndexEntry *e = rs::entry_in(*index, failure.offset, failure.length)) {
            failure.has_entry = 1;
            failure.table = e->table;
            failure.index = e->index;
        }
        return result;
    }

    // The gathered block, checked, then passed on.
    std::int32_t prove() {
        const rs::BlockDigest got = rs::block_digest(index->digest, block.data(), fill);
        if (sodium_memcmp(got.data(), index->blocks[current].data(), got.size()) != 0) {
            return fail(RERAZERA_SIGN_BLOCK_MISMATCH);
        }
        const std::int32_t r = rerazera_stream_feed(inner.get(), block.data(), fill);
        if (r == RERAZERA_ERR_STOPPED) {
            return fail(RERAZERA_SIGN_STOPPED, r);
        }
        if (r != RERAZERA_OK) {
            return fail(RERAZERA_SIGN_STREAM_FAILED, r);
        }
        if (sink != nullptr && sink(sinkCtx, block.data(), fill) != 0) {
            return fail(RERAZERA_SIGN_SINK_FAILED);
        }
        proven += fill;
        fill = 0;
        ++current;
        return RERAZERA_SIGN_OK;
    }

    std::int32_t feed(const std::uint8_t *data, std::size_t len) {
        while (len != 0) {
            if (current == index->blocks.size()) {
                return fail(RERAZERA_SIGN_LENGTH_MISMATCH);
            }
            const std::size_t want = static_cast<std::size_t>(index->block_length(current)) - fill;
            const std::size_t take = std::min(want, len);
            std::memcpy(block.data() + fill, data, take);
            fill += take;
            data += take;
            len -= take;
            if (take == want) {
                if (const std::int32_t r = prove(); r != RERAZERA_SIGN_OK) {
                    return r;
                }
            }
        }
        return RERAZERA_SIGN_OK;
    }
};

extern "C" {

RERAZERA_SIGN_API int32_t rerazera_index_build(const char *path, uint32_t digest,
                                               uint32_t block_size, char **index_text,
                                               size_t *index_len) {
    if (block_size == 0) {
        block_size = RERAZERA_INDEX_DEFAULT_BLOCK;
    }
    if (path == nullptr || index_text == nullptr || index_len == nullptr ||
        !rs::known_digest(digest) || !rs::valid_block_size(block_size)) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (!rs::crypto_ready()) {
        return RERAZERA_SIGN_CRYPTO_UNAVAILABLE;
    }
    return guarded([&] {
        rerazera_package *raw = nullptr;
        const std::int32_t opened = rerazera_package_open_path(path, nullptr, &raw);
        if (opened == RERAZERA_ERR_NO_MEMORY) {
            return RERAZERA_SIGN_NO_MEMORY;
        }
        if (opened != RERAZERA_OK) {
            return RERAZERA_SIGN_IO_ERROR;
        }
        const PackagePtr pkg(raw, &rerazera_package_free);
        rerazera_header_info header{};
        (void)rerazera_package_header(pkg.get(), &header);
        rs::Index index;
        index.digest = digest;
        index.size = header.size;
        index.block = block_size;
        index.productType = header.product_type;
        if (!collect_entries(pkg.get(), header.size, index)) {
            return RERAZERA_SIGN_IO_ERROR;
        }
        const std::uint64_t count = (header.size + block_size - 1) / block_size;
        index.blocks.reserve(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t len = index.block_length(i);
            const std::uint8_t *bytes = rerazera_package_bytes(pkg.get(), i * block_size, len);
            index.blocks.push_back(rs::block_digest(digest, bytes, static_cast<std::size_t>(len)));
            (void)rerazera_package_release(pkg.get(), i * block_size, len);
        }
        const std::string text = rs::format_index(index);
        auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
        if (copy == nullptr) {
            return RERAZERA_SIGN_NO_MEMORY;
        }
        std::memcpy(copy, text.c_str(), text.size() + 1);
        *index_text = copy;
        *index_len = text.size();
        return RERAZERA_SIGN_OK;
    });
}

RERAZERA_SIGN_API int32_t rerazera_index_parse(const void *text, size_t len, rerazera_index **out) {
    if ((text == nullptr && len != 0) || out == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    return guarded([&] {
        std::optional<rs::Index> parsed =
            len == 0 ? std::nullopt : rs::parse_index({static_cast<const char *>(text), len});
        if (!parsed) {
            return RERAZERA_SIGN_INDEX_MALFORMED;
        }
        *out = new rerazera_index{std::move(*parsed)};
        return RERAZERA_SIGN_OK;
    });
}

RERAZERA_SIGN_API int32_t rerazera_index_open(const rerazera_policy *policy, const char *path,
                                              const char *sig_path, rerazera_index **out,
                                              rerazera_signature_info **info) {
    if (info != nullptr) {
        *info = nullptr;
    }
    if (policy == nullptr || policy->policy.ring == nullptr || path == nullptr || out == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (!rs::crypto_ready()) {
        return RERAZERA_SIGN_CRYPTO_UNAVAILABLE;
    }
    return guarded([&] {
        const rs::Policy &p = policy->policy;
        const std::string sigPath = sig_path != nullptr ? sig_path : std::string(path) + ".minisig";
        std::optional<rs::SignatureFile> sig;
        const std::uint32_t flags = p.allowLegacy ? RERAZERA_SIGN_ALLOW_LEGACY : 0u;
        std::int32_t r = rs::load_signature(sigPath.c_str(), sig);
        const rs::PublicKey *key = nullptr;
        if (r == RERAZERA_SIGN_OK) {
            r = rs::select_key(*sig, *p.ring, flags, key);
        }
        // The bytes checked are the bytes parsed: the file is read once.
        std::string text;
        if (r == RERAZERA_SIGN_OK) {
            switch (rs::read_small_file(path, RERAZERA_INDEX_MAX_FILE, text)) {
                case rs::ReadStatus::Ok:
                    break;
                case rs::ReadStatus::TooLarge:
                    // Refused unread: nothing about it was verified.
                    sig.reset();
                    r = RERAZERA_SIGN_INDEX_MALFORMED;
                    break;
                default:
                    r = RERAZERA_SIGN_IO_ERROR;
                    break;
            }
        }
        if (r == RERAZERA_SIGN_OK) {
            r = rs::check_signed_bytes(
                *sig, *key, reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
        }
        std::optional<rs::Index> parsed;
        if (r == RERAZERA_SIGN_OK) {
            parsed = rs::parse_index(text);
            r = parsed ? rs::apply_policy(p, sig->trustedComment, parsed->productType)
                       : RERAZERA_SIGN_INDEX_MALFORMED;
        }
        r = rs::hand_out_info(r, sig, info);
        if (r == RERAZERA_SIGN_OK) {
            *out = new rerazera_index{std::move(*parsed)};
        }
        return r;
    });
}

RERAZERA_SIGN_API int32_t rerazera_index_get_info(const rerazera_index *index,
                                                  rerazera_index_info *out) {
    if (index == nullptr || out == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    const rs::Index &i = index->index;
    *out = rerazera_index_info{i.size,          i.digest,         i.block,
                               i.blocks.size(), i.entries.size(), i.productType};
    return RERAZERA_SIGN_OK;
}

RERAZERA_SIGN_API void rerazera_index_free(rerazera_index *index) {
    delete index;
}

RERAZERA_SIGN_API int32_t rerazera_signed_stream_new(const rerazera_index *index,
                                                     rerazera_sink_fn sink, void *sink_ctx,
                                                     const rerazera_stream_options *options,
                                                     rerazera_signed_stream **out) {
    if (index == nullptr || out == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    // libsodium picks its fastest BLAKE2b for this CPU when initialised.
    if (!rs::crypto_ready()) {
        return RERAZERA_SIGN_CRYPTO_UNAVAILABLE;
    }
    return guarded([&] {
        auto stream = std::make_unique<rerazera_signed_stream>();
        rerazera_stream *inner = nullptr;
        const std::int32_t r = rerazera_stream_new(options, &inner);
        if (r == RERAZERA_ERR_NO_MEMORY) {
            return RERAZERA_SIGN_NO_MEMORY;
        }
        if (r != RERAZERA_OK) {
            return r == RERAZERA_ERR_INVALID_ARGUMENT ? RERAZERA_SIGN_INVALID_ARGUMENT
                                                      : RERAZERA_SIGN_STREAM_FAILED;
        }
        stream->inner.reset(inner);
        stream->index = &index->index;
        stream->sink = sink;
        stream->sinkCtx = sink_ctx;
        stream->block.resize(static_cast<std::size_t>(index->index.block_length(0)));
        *out = stream.release();
        return RERAZERA_SIGN_OK;
    });
}

RERAZERA_SIGN_API int32_t rerazera_signed_stream_feed(rerazera_signed_stream *stream,
                                                      const void *data, size_t len) {
    if (stream == nullptr || (data == nullptr && len != 0) || stream->finished) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (stream->failure.result != RERAZERA_SIGN_OK) {
        return stream->failure.result;
    }
    return guarded([&] { return stream->feed(static_cast<const std::uint8_t *>(data), len); });
}

RERAZERA_SIGN_API uint64_t rerazera_signed_stream_proven(const rerazera_signed_stream *stream) {
    return stream == nullptr ? 0 : stream->proven;
}

RERAZERA_SIGN_API int32_t rerazera_signed_stream_finish(rerazera_signed_stream *stream, char *msg,
                                                        size_t msg_size, int32_t *qvpkg_result) {
    if (stream == nullptr || stream->finished) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    if (stream->failure.result != RERAZERA_SIGN_OK) {
        return stream->failure.result;
    }
    return guarded([&] {
        stream->finished = true;
        if (stream->current != stream->index->blocks.size()) {
            return stream->fail(RERAZERA_SIGN_LENGTH_MISMATCH);
        }
        // Every byte proven: the entries and the verdict are the verifier's.
        const std::int32_t r =
            rerazera_stream_finish(stream->inner.get(), -1, msg, msg_size, qvpkg_result);
        if (r == RERAZERA_OK) {
            return RERAZERA_SIGN_OK;
        }
        if (r == RERAZERA_ERR_CORRUPT) {
            return RERAZERA_SIGN_PACKAGE_FAILED;
        }
        return stream->fail(
            r == RERAZERA_ERR_STOPPED ? RERAZERA_SIGN_STOPPED : RERAZERA_SIGN_STREAM_FAILED, r);
    });
}

RERAZERA_SIGN_API int32_t rerazera_signed_stream_failure(const rerazera_signed_stream *stream,
                                                         rerazera_stream_failure *out) {
    if (stream == nullptr || out == nullptr) {
        return RERAZERA_SIGN_INVALID_ARGUMENT;
    }
    *out = stream->failure;
    return RERAZERA_SIGN_OK;
}

RERAZERA_SIGN_API void rerazera_signed_stream_free(rerazera_signed_stream *stream) {
    delete stream;
}

}  // extern "C"
