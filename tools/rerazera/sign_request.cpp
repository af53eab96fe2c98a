// SPDX-License-Identifier: MIT
// sign --prepare, --sign-request and --attach. The request is the short
// text of signing_request.hpp. The response is the minisign signature file itself: it holds both
// signatures and both comments, all that attach needs.
#include "sign_request.hpp"

#include <sodium.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "rerazera.h"
#include "signing_request.hpp"
#include "spool.hpp"
#include "tool.hpp"

namespace rztool {
namespace {

constexpr std::size_t kMaxExchangeFile = 64 * 1024;
using TextPtr = std::unique_ptr<char, decltype(&std::free)>;

// The whole of a small file, or nullopt after saying why.
std::optional<std::string> read_exchange_file(const std::string &path) {
    std::uint64_t size = 0;
    if (!check_input_file(path, &size)) {
        return std::nullopt;
    }
    if (size > kMaxExchangeFile) {
        report_error(path, "larger than 64 KiB, not a signing request or response");
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in && !in.eof()) {
        report_error(path, std::strerror(errno));
        return std::nullopt;
    }
    return text.str();
}

bool write_text(const std::string &path, const std::string &text) {
    StagedFile staged(path);
    if (!staged.ok()) {
        report_error(path, staged.error());
        return false;
    }
    const bool written =
        ::write(staged.fd(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (!written || !staged.commit(true)) {
        report_error(path, written ? staged.error() : std::strerror(errno));
        return false;
    }
    return true;
}

std::string with_suffix(const std::string &path, const std::string &from, const std::string &to) {
    return path.ends_with(from) ? path.substr(0, path.size() - from.size()) + to : path + to;
}

}  // namespace

int prepare_request(const std::string &publicPath, const std::string &package,
                    const std::string &comment, const std::string &untrusted,
                    const std::string &out) {
    char id[RERAZERA_KEY_ID_TEXT_SIZE];
    if (const std::int32_t r = rerazera_public_key_file_id(publicPath.c_str(), id);
        r != RERAZERA_SIGN_OK) {
        report_error(publicPath, rerazera_sign_strerror(r));
        return kExitUsage;
    }
    std::uint64_t size = 0;
    std::array<std::uint8_t, 64> digest{};
    if (!check_input_file(package, &size)) {
        return kExitTrouble;
    }
    if (const std::int32_t r = rerazera_file_digest(package.c_str(), digest.data());
        r != RERAZERA_SIGN_OK) {
        report_error(package, rerazera_sign_strerror(r));
        return kExitTrouble;
    }
    if (comment_field(comment, "size") != std::to_string(size)) {
        report_error(package, "changed while the request was made");
        return kExitTrouble;
    }
    if (!printable(untrusted, false)) {
        report_error("-c", "the untrusted comment must be one line of printable text");
        return kExitUsage;
    }
    const std::string text = request_text(Request{id, size, digest, comment, untrusted});
    const std::string path = out.empty() ? package + ".sigreq" : out;
    if (!write_text(path, text)) {
        return kExitTrouble;
    }
    if (!quiet()) {
        std::printf("%s: signing request for key %s\n", escape(path).c_str(), id);
    }
    return kExitOk;
}

int sign_request(const std::string &request, const rerazera_secret_key *key,
                 rerazera_signer_fn signer, void *ctx,
                 const std::function<std::string()> &signerFailure, const std::string &publicPath,
                 const std::string &out) {
    const std::optional<std::string> text = read_exchange_file(request);
    if (!text) {
        return kExitTrouble;
    }
    RequestError error;
    const std::optional<Request> req = parse_request(*text, error);
    if (!req) {
        report_error(request + ":" + std::to_string(error.line), error.why);
        return kExitTrouble;
    }
    char id[RERAZERA_KEY_ID_TEXT_SIZE] = "";
    if (key != nullptr) {
        rerazera_secret_key_id(key, id);
    } else if (const std::int32_t r = rerazera_public_key_file_id(publicPath.c_str(), id);
               r != RERAZERA_SIGN_OK) {
        report_error(publicPath, rerazera_sign_strerror(r));
        return kExitUsage;
    }
    if (req->keyId != id) {
        report_error(request, "asks for key " + req->keyId + ", this key is " + id);
        return kExitFailure;
    }
    char *raw = nullptr;
    const std::int32_t r =
        key != nullptr ? rerazera_sign_digest(key, req->digest.data(), req->trusted.c_str(),
                                              req->untrusted.c_str(), &raw)
                       : rerazera_sign_digest_external(publicPath.c_str(), signer, ctx,
                                                       req->digest.data(), req->trusted.c_str(),
                                                       req->untrusted.c_str(), &raw, nullptr);
    if (r != RERAZERA_SIGN_OK) {
        std::string why = rerazera_sign_strerror(r);
        if (const std::string failure = signerFailure();
            r == RERAZERA_SIGN_SIGNER_FAILED && !failure.empty()) {
            why += ": " + failure;
        }
        report_error(request, "not signed: " + why);
        return kExitTrouble;
    }
    const TextPtr sig(raw, &std::free);
    const std::string path = out.empty() ? with_suffix(request, ".sigreq", ".sigresp") : out;
    if (!write_text(path, sig.get())) {
        return kExitTrouble;
    }
    if (!quiet()) {
        std::printf("%s: signed by %s\n", escape(path).c_str(), id);
    }
    return kExitOk;
}

int attach_response(const std::string &response, const std::string &publicPath,
                    const std::string &package, const std::string &out) {
    const std::optional<std::string> text = read_exchange_file(response);
    std::uint64_t size = 0;
    if (!text || !check_input_file(package, &size)) {
        return kExitTrouble;
    }
    char id[RERAZERA_KEY_ID_TEXT_SIZE];
    if (const std::int32_t r = rerazera_public_key_file_id(publicPath.c_str(), id);
        r != RERAZERA_SIGN_OK) {
        report_error(publicPath, rerazera_sign_strerror(r));
        return kExitUsage;
    }
    char msg[512] = "";
    if (QVPKG_ChkQVFileInfo(package.c_str(), msg, sizeof msg) != QVPKG_OK) {
        report_error_text(package, "not signed, the package fails its checks", msg);
        return kExitFailure;
    }
    rerazera_keyring *rawRing = nullptr;
    if (rerazera_keyring_new(&rawRing) != RERAZERA_SIGN_OK) {
        report_error(publicPath, "no memory");
        return kExitTrouble;
    }
    const std::unique_ptr<rerazera_keyring, decltype(&rerazera_keyring_free)> ring(
        rawRing, &rerazera_keyring_free);
    if (const std::int32_t r = rerazera_keyring_add_file(ring.get(), publicPath.c_str());
        r != RERAZERA_SIGN_OK) {
        report_error(publicPath, rerazera_sign_strerror(r));
        return kExitUsage;
    }
    rerazera_signature_info *rawInfo = nullptr;
    const std::int32_t r =
        rerazera_verify_signature(ring.get(), package.c_str(), response.c_str(), 0, &rawInfo);
    const std::unique_ptr<rerazera_signature_info, decltype(&rerazera_signature_info_free)> info(
        rawInfo, &rerazera_signature_info_free);
    std::string why;
    switch (r) {
        case RERAZERA_SIGN_OK:
            break;
        case RERAZERA_SIGN_UNKNOWN_KEY:
            why = std::string("signed by key ") + (info ? info->key_id : "?") + ", not by " + id +
                  " of " + publicPath;
            break;
        case RERAZERA_SIGN_MISMATCH:
            why =
                "the signature is not over this package as it is now (another package, or "
                "changed since the request)";
            break;
        case RERAZERA_SIGN_COMMENT_FORGED:
            why = "the trusted comment is not the one signed";
            break;
        default:
            why = rerazera_sign_strerror(r);
            break;
    }
    if (why.empty()) {
        const std::string name = std::filesystem::path(package).filename().string();
        const std::string comment = info->trusted_comment;
        if (comment_field(comment, "file") != name) {
            why = "the trusted comment names another file than " + name;
        } else if (comment_field(comment, "size") != std::to_string(size)) {
            why = "the trusted comment gives another size than " + std::to_string(size);
        }
    }
    // The bytes checked are the bytes kept.
    if (why.empty() && read_exchange_file(response) != text) {
        why = "changed while it was checked";
    }
    if (!why.empty()) {
        report_error(response, "not attached: " + why);
        return kExitFailure;
    }
    const std::string path = out.empty() ? package + ".minisig" : out;
    if (!write_text(path, *text)) {
        return kExitTrouble;
    }
    if (!quiet()) {
        std::printf("%s: signed by %s\n", escape(package).c_str(), id);
    }
    return kExitOk;
}

}  // namespace rztool
