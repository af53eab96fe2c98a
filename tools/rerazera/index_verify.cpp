// SPDX-License-Identifier: MIT
#include "index_verify.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "output.hpp"
#include "spool.hpp"
#include "tool.hpp"

namespace rztool {
namespace {

using IndexPtr = std::unique_ptr<rerazera_index, decltype(&rerazera_index_free)>;
using StreamPtr = std::unique_ptr<rerazera_signed_stream, decltype(&rerazera_signed_stream_free)>;

// Where proven bytes go: nowhere, standard output or a staged file.
struct Sink {
    int fd = -1;
    std::unique_ptr<StagedFile> staged;
    int error = 0;
};

int write_proven(void *ctx, const void *data, std::size_t len) {
    auto *sink = static_cast<Sink *>(ctx);
    if (sink->fd >= 0 && !write_all(sink->fd, static_cast<const std::uint8_t *>(data), len)) {
        sink->error = errno;
        return 1;
    }
    return 0;
}

struct Closer {
    int fd;
    explicit Closer(int f) : fd(f) {}
    Closer(const Closer &) = delete;
    Closer &operator=(const Closer &) = delete;
    ~Closer() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// With the proven bytes on standard output, the report goes to stderr.
std::FILE *report_stream(const std::string &output) {
    return output == kStdinArg ? stderr : stdout;
}

}  // namespace

int verify_with_index(const std::string &package, const std::string &indexPath,
                      const SignatureOptions &sig, const std::string &output) {
    if (!sig.enabled()) {
        report_error("--index", "needs the trusted keys: give --key or --keyring");
        return kExitUsage;
    }
    if (!sig.sigPath.empty()) {
        report_error("--sig", "the index's signature is read from " + escape(indexPath) +
                                  ".minisig; --sig does not apply");
        return kExitUsage;
    }
    KeyringPtr ring = load_keyring(sig);
    PolicyPtr policy = ring ? make_policy(ring.get(), sig) : PolicyPtr(nullptr, nullptr);
    if (!policy) {
        return kExitTrouble;
    }
    std::FILE *out = report_stream(output);
    const std::string shown = package == kStdinArg ? kStdinName : package;

    rerazera_index *rawIndex = nullptr;
    rerazera_signature_info *rawInfo = nullptr;
    const std::int32_t opened =
        rerazera_index_open(policy.get(), indexPath.c_str(), nullptr, &rawIndex, &rawInfo);
    const IndexPtr index(rawIndex, &rerazera_index_free);
    const std::unique_ptr<rerazera_signature_info, decltype(&rerazera_signature_info_free)> info(
        rawInfo, &rerazera_signature_info_free);
    if (opened == RERAZERA_SIGN_IO_ERROR) {
        report_error(indexPath, "cannot read it");
        return kExitTrouble;
    }
    if (opened != RERAZERA_SIGN_OK) {
        // Refused before a byte of the package is read.
        std::fprintf(out, "%s: FAILED (index)\n  index: %s\n", escape(shown).c_str(),
                     rerazera_sign_strerror(opened));
        if (info) {
            std::fprintf(out, "  key ID: %s\n", info->key_id);
        }
        return kExitFailure;
    }
    rerazera_index_info facts{};
    (void)rerazera_index_get_info(index.get(), &facts);

    const int in = package == kStdinArg ? STDIN_FILENO
                                        : ::open(package.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (in < 0) {
        report_error(package, std::strerror(errno));
        return kExitTrouble;
    }
    const Closer closer(in == STDIN_FILENO ? -1 : in);

    Sink sink;
    if (output == kStdinArg) {
        sink.fd = STDOUT_FILENO;
    } else if (!output.empty()) {
        sink.staged = std::make_unique<StagedFile>(output);
        if (!sink.staged->ok()) {
            report_error(output, sink.staged->error());
            return kExitTrouble;
        }
        sink.fd = sink.staged->fd();
    }
    rerazera_signed_stream *rawStream = nullptr;
    if (rerazera_signed_stream_new(index.get(), write_proven, &sink, nullptr, &rawStream) !=
        RERAZERA_SIGN_OK) {
        report_error(shown, "out of memory");
        return kExitTrouble;
    }
    const StreamPtr stream(rawStream, &rerazera_signed_stream_free);

    std::int32_t r = RERAZERA_SIGN_OK;
    if (const int err = read_pieces(in,
                                    [&](const std::uint8_t *data, std::size_t n) {
                                        r = rerazera_signed_stream_feed(stream.get(), data, n);
                                        return r == RERAZERA_SIGN_OK;
                                    });
        err != 0) {
        report_error(shown, std::string("cannot read it: ") + std::strerror(err));
        return kExitTrouble;
    }
    char msg[512] = "";
    std::int32_t qv = QVPKG_ERR;
    if (r == RERAZERA_SIGN_OK) {
        r = rerazera_signed_stream_finish(stream.get(), msg, sizeof msg, &qv);
    }
    if (r == RERAZERA_SIGN_SINK_FAILED) {
        report_error(output, std::string("cannot write it: ") + std::strerror(sink.error));
        return kExitTrouble;
    }
    rerazera_stream_failure why{};
    (void)rerazera_signed_stream_failure(stream.get(), &why);
    const unsigned long long proven = rerazera_signed_stream_proven(stream.get());
    if (r == RERAZERA_SIGN_OK && quiet()) {
        // -q: failures only.
    } else if (r == RERAZERA_SIGN_OK || r == RERAZERA_SIGN_PACKAGE_FAILED) {
        std::fprintf(
            out, "%s: %s\n", escape(shown).c_str(),
            r == RERAZERA_SIGN_OK ? "ok" : ("FAILED (result " + std::to_string(qv) + ")").c_str());
    } else if (r == RERAZERA_SIGN_BLOCK_MISMATCH) {
        std::fprintf(out, "%s: FAILED (block %llu of %llu, bytes %llu-%llu", escape(shown).c_str(),
                     static_cast<unsigned long long>(why.block),
                     static_cast<unsigned long long>(facts.block_count),
                     static_cast<unsigned long long>(why.offset),
                     static_cast<unsigned long long>(why.offset + why.length - 1));
        if (why.has_entry != 0) {
            std::fprintf(out, ", %s entry %u", why.table == 0 ? "header" : "extension", why.index);
        }
        std::fprintf(out, ")\n");
    } else {
        std::fprintf(out, "%s: FAILED (%s)\n", escape(shown).c_str(), rerazera_sign_strerror(r));
    }
    if (r == RERAZERA_SIGN_OK && quiet()) {
        return sink.staged && !sink.staged->commit(true) ? kExitTrouble : kExitOk;
    }
    std::fprintf(out, "  index: %s, %llu blocks of %u bytes, key ID %s\n",
                 r == RERAZERA_SIGN_OK || r == RERAZERA_SIGN_PACKAGE_FAILED
                     ? "every block proven"
                     : rerazera_sign_strerror(r),
                 static_cast<unsigned long long>(facts.block_count), facts.block_size,
                 info ? info->key_id : "");
    if (r != RERAZERA_SIGN_OK) {
        std::fprintf(out, "  proven and passed on: %llu of %llu bytes\n", proven,
                     static_cast<unsigned long long>(facts.size));
    }
    std::istringstream lines(msg);
    for (std::string line; std::getline(lines, line);) {
        std::fprintf(out, "  %s\n", escape(line).c_str());
    }
    if (r == RERAZERA_SIGN_STREAM_FAILED && why.stream_result == RERAZERA_ERR_NEEDS_SECOND_PASS) {
        report_error(shown,
                     "the package places entries before the table that names them; a "
                     "signed index cannot prove a second pass");
        return kExitTrouble;
    }
    if (r != RERAZERA_SIGN_OK) {
        return kExitFailure;
    }
    if (sink.staged && !sink.staged->commit(true)) {
        report_error(output, sink.staged->error());
        return kExitTrouble;
    }
    return kExitOk;
}

}  // namespace rztool
