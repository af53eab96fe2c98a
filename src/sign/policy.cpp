// SPDX-License-Identifier: MIT
#include "sign/policy.hpp"

#include <algorithm>

#include "rerazera/sign.h"

namespace rerazera::sign {

CommentField comment_field(std::string_view comment, std::string_view key) {
    CommentField found;
    for (std::size_t at = 0; at <= comment.size();) {
        const std::size_t tab = std::min(comment.find('\t', at), comment.size());
        const std::string_view field = comment.substr(at, tab - at);
        if (field.size() > key.size() && field.substr(0, key.size()) == key &&
            field[key.size()] == ':') {
            found.repeated = found.present;
            if (!found.present) {
                found.value = field.substr(key.size() + 1);
            }
            found.present = true;
        }
        at = tab + 1;
    }
    return found;
}

namespace {

// The next dotted field of v from at, without its leading zeros.
std::string_view next_part(std::string_view v, std::size_t &at) {
    if (at >= v.size()) {
        return {};
    }
    const std::size_t dot = std::min(v.find('.', at), v.size());
    std::string_view part = v.substr(at, dot - at);
    at = dot + 1;
    while (part.size() > 1 && part.front() == '0') {
        part.remove_prefix(1);
    }
    return part == "0" ? std::string_view{} : part;
}

}  // namespace

bool valid_version(std::string_view v) {
    if (v.empty() || v.size() > kMaxVersionLength || v.front() == '.' || v.back() == '.' ||
        v.find("..") != std::string_view::npos) {
        return false;
    }
    return std::all_of(v.begin(), v.end(),
                       [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

std::optional<int> compare_versions(std::string_view a, std::string_view b) {
    if (!valid_version(a) || !valid_version(b)) {
        return std::nullopt;
    }
    // Digits without leading zeros: the longer number is the larger, and
    // numbers of one length compare as text, whatever their size.
    for (std::size_t i = 0, j = 0; i < a.size() || j < b.size();) {
        const std::string_view x = next_part(a, i), y = next_part(b, j);
        if (x.size() != y.size()) {
            return x.size() < y.size() ? -1 : 1;
        }
        if (const int c = x.compare(y); c != 0) {
            return c < 0 ? -1 : 1;
        }
    }
    return 0;
}

std::int32_t apply_policy(const Policy &policy, std::string_view trustedComment,
                          std::uint32_t headerProductType) {
    const CommentField type = comment_field(trustedComment, "product-type");
    if (type.present && (type.repeated || type.value != std::to_string(headerProductType))) {
        return RERAZERA_SIGN_PRODUCT_TYPE_MISMATCH;
    }
    if (policy.productType && *policy.productType != headerProductType) {
        return RERAZERA_SIGN_PRODUCT_TYPE_MISMATCH;
    }
    if (!policy.minVersion) {
        return RERAZERA_SIGN_OK;
    }
    const CommentField version = comment_field(trustedComment, "version");
    if (!version.present) {
        return RERAZERA_SIGN_VERSION_MISSING;
    }
    const std::optional<int> order =
        version.repeated ? std::nullopt : compare_versions(version.value, *policy.minVersion);
    if (!order) {
        return RERAZERA_SIGN_VERSION_MALFORMED;
    }
    return *order < 0 ? RERAZERA_SIGN_VERSION_TOO_OLD : RERAZERA_SIGN_OK;
}

}  // namespace rerazera::sign
