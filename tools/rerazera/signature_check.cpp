// SPDX-License-Identifier: MIT
#include "signature_check.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "rerazera.h"
#include "tool.hpp"

namespace rztool {
namespace {

// The value of field `key` in a comment of tab-separated key:value fields.
std::optional<std::string> comment_field(const std::string &comment, const std::string &key) {
    std::size_t at = 0;
    while (at <= comment.size()) {
        const std::size_t tab = std::min(comment.find('\t', at), comment.size());
        const std::string field = comment.substr(at, tab - at);
        if (field.size() > key.size() && field.compare(0, key.size(), key) == 0 &&
            field[key.size()] == ':') {
            return field.substr(key.size() + 1);
        }
        at = tab + 1;
    }
    return std::nullopt;
}

// A key ID trusted twice with different keys is refused: which of the two
// a signature names would depend on the order the files were read.
bool add_key_file(rerazera_keyring *ring, const std::string &path) {
    if (!check_input_file(path)) {  // a FIFO would block, a device is no key
        return false;
    }
    const std::int32_t r = rerazera_keyring_add_file_unique(ring, path.c_str());
    if (r != RERAZERA_SIGN_OK) {
        report_error(path, rerazera_sign_strerror(r));
    }
    return r == RERAZERA_SIGN_OK;
}

}  // namespace

void add_signature_options(CLI::App *cmd, SignatureOptions &opt) {
    cmd->add_option("--key", opt.keys,
                    "Trusted minisign public key file; checks PACKAGE.minisig first (repeatable)")
        ->allow_extra_args(false);  // checked when read, in the tool's words
    cmd->add_option("--keyring", opt.keyrings,
                    "Directory whose *.pub files are trusted public keys (repeatable)")
        ->check(CLI::ExistingDirectory)
        ->allow_extra_args(false);
    cmd->add_option("--revoke", opt.revoked, "Refuse signatures by this key ID (repeatable)")
        ->allow_extra_args(false);
    cmd->add_flag("--allow-legacy", opt.allowLegacy,
                  "Accept minisign's legacy non-prehashed signatures (algorithm Ed)");
    cmd->add_option("--sig", opt.sigPath,
                    "The signature file, instead of PACKAGE.minisig (one package, '-' included)")
        ->allow_extra_args(false);
    cmd->add_option("--product-type", opt.productType,
                    "Refuse a package whose product type is not N (with --key or --keyring)")
        ->allow_extra_args(false);
    cmd->add_option("--min-version", opt.minVersion,
                    "Refuse a release signed with a version below V, or with none (with --key "
                    "or --keyring)")
        ->allow_extra_args(false);
}

PolicyPtr make_policy(const rerazera_keyring *ring, const SignatureOptions &opt) {
    rerazera_policy *raw = nullptr;
    if (rerazera_policy_new(&raw) != RERAZERA_SIGN_OK) {
        report_error("policy", "out of memory");
        return {nullptr, &rerazera_policy_free};
    }
    PolicyPtr policy(raw, &rerazera_policy_free);
    (void)rerazera_policy_set_keyring(raw, ring);
    (void)rerazera_policy_allow_legacy(raw, opt.allowLegacy ? 1 : 0);
    if (!opt.productType.empty()) {
        const auto type = parse_u32(opt.productType);
        if (!type || *type > 0xFFFFu) {
            report_error("--product-type",
                         "'" + opt.productType + "' is not a product type from 0 to 0xffff");
            policy.reset();
            return policy;
        }
        (void)rerazera_policy_set_product_type(raw, *type);
    }
    if (!opt.minVersion.empty() &&
        rerazera_policy_set_min_version(raw, opt.minVersion.c_str()) != RERAZERA_SIGN_OK) {
        report_error("--min-version",
                     "'" + opt.minVersion + "' is not a version (decimal numbers joined by dots)");
        policy.reset();
    }
    return policy;
}

KeyringPtr load_keyring(const SignatureOptions &opt) {
    rerazera_keyring *raw = nullptr;
    if (rerazera_keyring_new(&raw) != RERAZERA_SIGN_OK) {
        report_error("keyring", "out of memory");
        return {nullptr, &rerazera_keyring_free};
    }
    KeyringPtr ring(raw, &rerazera_keyring_free);
    bool ok = true;
    for (const std::string &path : opt.keys) {
        ok = add_key_file(ring.get(), path) && ok;
    }
    for (const std::string &dir : opt.keyrings) {
        std::vector<std::string> files;
        std::error_code ec;
        for (const auto &entry : std::filesystem::directory_iterator(dir, ec)) {
            if (entry.path().extension() == ".pub") {
                files.push_back(entry.path().string());
            }
        }
        if (ec) {
            report_error(dir, ec.message());
            ok = false;
        }
        std::sort(files.begin(), files.end());
        for (const std::string &path : files) {
            ok = add_key_file(ring.get(), path) && ok;
        }
    }
    for (const std::string &id : opt.revoked) {
        if (rerazera_keyring_revoke(ring.get(), id.c_str()) != RERAZERA_SIGN_OK) {
            report_error("--revoke " + id, "not a key ID (16 hex digits)");
            ok = false;
        }
    }
    if (ok && rerazera_keyring_size(ring.get()) == 0) {
        report_error("keyring", "no trusted public key found");
        ok = false;
    }
    if (!ok) {
        ring.reset();
    }
    return ring;
}

SignatureVerdict check_signed_package(const rerazera_policy *policy, const std::string &path,
                                      const std::string &sigPath, std::int32_t &result,
                                      std::string &verdict) {
    SignatureVerdict v;
    char msg[512] = "";
    std::int32_t packageResult = QVPKG_ERR;
    rerazera_signature_info *info = nullptr;
    v.code = rerazera_verify_package_policy(policy, path.c_str(),
                                            sigPath.empty() ? nullptr : sigPath.c_str(), msg,
                                            sizeof msg, &packageResult, &info);
    // The policy is applied once the signature and the package have passed.
    v.packageChecked =
        v.code == RERAZERA_SIGN_OK || v.code == RERAZERA_SIGN_PACKAGE_FAILED ||
        v.code == RERAZERA_SIGN_PRODUCT_TYPE_MISMATCH ||
        (v.code >= RERAZERA_SIGN_VERSION_TOO_OLD && v.code <= RERAZERA_SIGN_VERSION_MALFORMED);
    if (v.packageChecked) {
        result = packageResult;
        verdict = msg;
    }
    if (info != nullptr) {
        v.keyId = info->key_id;
        v.trustedComment = info->trusted_comment;
        v.commentVerified = info->comment_verified != 0;
        v.legacy = info->legacy != 0;
        rerazera_signature_info_free(info);
    }
    if (v.commentVerified) {
        v.signedVersion = comment_field(v.trustedComment, "version");
        if (const auto field = comment_field(v.trustedComment, "product-type")) {
            // A field that is not a number can match no header.
            v.signedType = parse_u32(*field).value_or(UINT32_MAX);
            std::uint32_t type = 0;
            if (QVPKG_ExtractProductTypeFromQV(path.c_str(), &type) == QVPKG_OK) {
                v.packageType = type;
            }
        }
    }
    return v;
}

namespace {

// A trusted comment separates its key:value fields with tabs, as minisign
// writes them; the tabs are kept and everything else is escaped, since an
// unverified comment is anybody's text.
std::string escape_fields(std::string_view comment) {
    std::string out;
    for (std::size_t start = 0;;) {
        const std::size_t tab = comment.find('\t', start);
        out += escape(comment.substr(start, tab - start));
        if (tab == std::string_view::npos) {
            return out;
        }
        out += '\t';
        start = tab + 1;
    }
}

}  // namespace

void print_signature(const SignatureVerdict &v) {
    std::printf("  signature: %s%s\n", rerazera_sign_strerror(v.code),
                v.legacy ? " (legacy algorithm)" : "");
    if (!v.keyId.empty()) {
        std::printf("  key ID: %s\n", v.keyId.c_str());
        std::printf("  %s comment: %s\n", v.commentVerified ? "trusted" : "unverified",
                    escape_fields(v.trustedComment).c_str());
    }
    if (v.signedType && v.signedType != v.packageType) {
        std::printf("  product type: signed for %u, the package header says %s\n", *v.signedType,
                    v.packageType ? std::to_string(*v.packageType).c_str() : "nothing readable");
    }
}

ojson signature_json(const SignatureVerdict &v) {
    ojson j;
    j["passed"] = v.passed();
    j["result"] = v.code;
    j["verdict"] = rerazera_sign_strerror(v.code);
    j["key_id"] = v.keyId.empty() ? ojson(nullptr) : ojson(v.keyId);
    j["trusted_comment"] = v.keyId.empty() ? ojson(nullptr) : ojson(v.trustedComment);
    j["comment_verified"] = v.commentVerified;
    j["legacy"] = v.legacy;
    j["product_type"] = {{"signed", v.signedType ? ojson(*v.signedType) : ojson(nullptr)},
                         {"package", v.packageType ? ojson(*v.packageType) : ojson(nullptr)},
                         {"matches", !v.signedType || v.signedType == v.packageType}};
    j["version"] = v.signedVersion ? ojson(*v.signedVersion) : ojson(nullptr);
    j["package_checked"] = v.packageChecked;
    return j;
}

}  // namespace rztool
