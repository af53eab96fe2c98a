// SPDX-License-Identifier: MIT
// The rerazera_stream_* entry points.
#include <new>

#include "base/c_boundary.hpp"
#include "package/log_sink.hpp"
#include "package/stream.hpp"
#include "rerazera/package.h"

namespace {

rerazera_stream *make_stream(const rerazera_stream_options *options) noexcept {
    return new (std::nothrow) rerazera_stream(options);
}

}  // namespace

RERAZERA_EXPORT int32_t rerazera_stream_new(const rerazera_stream_options *options,
                                            rerazera_stream **out) {
    if (out == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    rerazera_stream *stream = make_stream(options);
    if (stream == nullptr) {
        return RERAZERA_ERR_NO_MEMORY;
    }
    *out = stream;
    return RERAZERA_OK;
}

RERAZERA_EXPORT int32_t rerazera_stream_feed(rerazera_stream *stream, const void *data,
                                             size_t len) {
    if (stream == nullptr || (data == nullptr && len > 0)) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    if (stream->verifier.finished()) {
        return RERAZERA_ERR_MISUSE;
    }
    const rerazera::ScopedLogSink quiet(nullptr, nullptr);
    return stream->verifier.feed(static_cast<const uint8_t *>(data), len);
}

RERAZERA_EXPORT uint64_t rerazera_stream_offset(const rerazera_stream *stream) {
    return stream == nullptr ? 0 : stream->verifier.offset();
}

RERAZERA_EXPORT uint64_t rerazera_stream_pending(const rerazera_stream *stream) {
    return stream == nullptr ? 0 : stream->verifier.pending();
}

RERAZERA_EXPORT int32_t rerazera_stream_finish(rerazera_stream *stream, int seek_fd, char *msg,
                                               size_t msg_size, int32_t *qvpkg_result) {
    if (stream == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    if (stream->verifier.finished()) {
        return RERAZERA_ERR_MISUSE;
    }
    return stream->verifier.finish(seek_fd, msg, msg_size, qvpkg_result);
}

RERAZERA_EXPORT int32_t rerazera_stream_checkpoint(const rerazera_stream *stream, void **state,
                                                   size_t *state_len) {
    if (stream == nullptr || state == nullptr || state_len == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    if (stream->verifier.finished()) {
        return RERAZERA_ERR_MISUSE;
    }
    return stream->verifier.save(state, state_len);
}

RERAZERA_EXPORT int32_t rerazera_stream_resume(const void *state, size_t state_len,
                                               const rerazera_stream_options *options,
                                               rerazera_stream **out) {
    if (state == nullptr || out == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    rerazera_stream *stream = make_stream(options);
    if (stream == nullptr) {
        return RERAZERA_ERR_NO_MEMORY;
    }
    const int32_t r = stream->verifier.load(static_cast<const uint8_t *>(state), state_len);
    if (r != RERAZERA_OK) {
        delete stream;
        return r;
    }
    *out = stream;
    return RERAZERA_OK;
}

RERAZERA_EXPORT void rerazera_stream_free(rerazera_stream *stream) {
    delete stream;
}
