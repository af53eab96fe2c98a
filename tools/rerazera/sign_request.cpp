// SPDX-License-Identifier: MIT
// sign --prepare, --sign-request and --attach. The request is a short text:
//
//   rerazera-signing-request 1
//   key-id <16 hex digits>
//   size <bytes>
//   blake2b-512 <128 lower-case hex digits>
//   trusted-comment <the trusted comment, tabs and all>
//   untrusted-comment <the untrusted comment>
//
// The response is the minisign signature file itself: it holds both
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
#include "spool.hpp"
#include "tool.hpp"

namespace rztool {
namespace {

constexpr std::size_t kMaxExchangeFile = 64 * 1024;
constexpr const char *kRequestMagic = "rerazera-signing-request 1";
using TextPtr = std::unique_ptr<char, decltype(&std::free)>;

struct Request {
    std::string keyId;
    std::uint64_t size = 0;
    std::array<std::uint8_t, 64> digest{};
    std::string trusted;
    std::string untrusted;
};

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

bool printable(const std::string &s, bool tabs) {
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && !(tabs && c == '\t')) || c == 0x7F) {
            return false;
        }
    }
    return !s.empty() || tabs;
}

// The value of field key in a tab-separated trusted comment, or nullopt.
std::optional<std::string> comment_field(const std::string &comment, const std::string &key) {
    std::istringstream fields(comment);
    for (std::string field; std::getline(fields, field, '\t');) {
        if (field.starts_with(key + ":")) {
            return field.substr(key.size() + 1);
        }
    }
    return std::nullopt;
}

std::optional<Request> parse_request(const std::string &path, const std::string &text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t nl = text.find('\n', at);
        if (nl == std::string::npos) {
            report_error(path + ":" + std::to_string(lines.size() + 1), "the line has no end");
            return std::nullopt;
        }
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    const char *keys[] = {nullptr,       "key-id",          "size",
                          "blake2b-512", "trusted-comment", "untrusted-comment"};
    Request req;
    for (std::size_t i = 0; i < 6; ++i) {
        const std::string where = path + ":" + std::to_string(i + 1);
        if (i >= lines.size()) {
            report_error(where, "missing, a signing request has 6 lines");
            return std::nullopt;
        }
        const std::string &line = lines[i];
        if (i == 0) {
            if (line != kRequestMagic) {
                report_error(
                    where, std::string("not a signing request (expected '") + kRequestMagic + "')");
                return std::nullopt;
            }
            continue;
        }
        const std::string prefix = std::string(keys[i]) + " ";
        if (!line.starts_with(prefix)) {
            report_error(where, "expected '" + prefix + "...'");
            return std::nullopt;
        }
        const std::string value = line.substr(prefix.size());
        bool ok = true;
        std::size_t len = 0;
        switch (i) {
            case 1:
                ok = value.size() == 16 &&
                     value.find_first_not_of("0123456789ABCDEF") == std::string::npos;
                req.keyId = value;
                break;
            case 2: {
                char *end = nullptr;
                errno = 0;
                req.size = std::strtoull(value.c_str(), &end, 10);
                ok = !value.empty() && value.size() <= 10 &&
                     value.find_first_not_of("0123456789") == std::string::npos && errno == 0;
                break;
            }
            case 3:
                ok = value.size() == 128 &&
                     value.find_first_not_of("0123456789abcdef") == std::string::npos &&
                     sodium_hex2bin(req.digest.data(), req.digest.size(), value.data(),
                                    value.size(), nullptr, &len, nullptr) == 0 &&
                     len == 64;
                break;
            case 4:
                ok = printable(value, true) && value.size() <= 8000 &&
                     comment_field(value, "size") == std::to_string(req.size);
                req.trusted = value;
                break;
            default:
                ok = printable(value, false) && value.size() <= 8000;
                req.untrusted = value;
                break;
        }
        if (!ok) {
            report_error(where, std::string("not a valid ") + keys[i] +
                                    (i == 4 ? " (printable, with the size above)" : ""));
            return std::nullopt;
        }
    }
    if (lines.size() > 6) {
        report_error(path + ":7", "text after the last field");
        return std::nullopt;
    }
    return req;
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
    std::array<char, 129> hex{};
    sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
    const std::string text = std::string(kRequestMagic) + "\nkey-id " + id + "\nsize " +
                             std::to_string(size) + "\nblake2b-512 " + hex.data() +
                             "\ntrusted-comment " + comment + "\nuntrusted-comment " + untrusted +
                             "\n";
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
    const std::optional<Request> req = parse_request(request, *text);
    if (!req) {
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
