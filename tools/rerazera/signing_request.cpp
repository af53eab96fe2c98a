// SPDX-License-Identifier: MIT
#include "signing_request.hpp"

#include <sodium.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace rztool {

bool printable(const std::string &s, bool tabs) {
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && !(tabs && c == '\t')) || c == 0x7F) {
            return false;
        }
    }
    return !s.empty() || tabs;
}

std::optional<std::string> comment_field(const std::string &comment, const std::string &key) {
    std::istringstream fields(comment);
    for (std::string field; std::getline(fields, field, '\t');) {
        if (field.starts_with(key + ":")) {
            return field.substr(key.size() + 1);
        }
    }
    return std::nullopt;
}

std::optional<Request> parse_request(const std::string &text, RequestError &error) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t nl = text.find('\n', at);
        if (nl == std::string::npos) {
            error = {lines.size() + 1, "the line has no end"};
            return std::nullopt;
        }
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    const char *keys[] = {nullptr,       "key-id",          "size",
                          "blake2b-512", "trusted-comment", "untrusted-comment"};
    Request req;
    for (std::size_t i = 0; i < 6; ++i) {
        if (i >= lines.size()) {
            error = {i + 1, "missing, a signing request has 6 lines"};
            return std::nullopt;
        }
        const std::string &line = lines[i];
        if (i == 0) {
            if (line != kRequestMagic) {
                error = {i + 1,
                         std::string("not a signing request (expected '") + kRequestMagic + "')"};
                return std::nullopt;
            }
            continue;
        }
        const std::string prefix = std::string(keys[i]) + " ";
        if (!line.starts_with(prefix)) {
            error = {i + 1, "expected '" + prefix + "...'"};
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
            error = {i + 1, std::string("not a valid ") + keys[i] +
                                (i == 4 ? " (printable, with the size above)" : "")};
            return std::nullopt;
        }
    }
    if (lines.size() > 6) {
        error = {7, "text after the last field"};
        return std::nullopt;
    }
    return req;
}

std::string request_text(const Request &req) {
    std::array<char, 129> hex{};
    sodium_bin2hex(hex.data(), hex.size(), req.digest.data(), req.digest.size());
    return std::string(kRequestMagic) + "\nkey-id " + req.keyId + "\nsize " +
           std::to_string(req.size) + "\nblake2b-512 " + hex.data() + "\ntrusted-comment " +
           req.trusted + "\nuntrusted-comment " + req.untrusted + "\n";
}

}  // namespace rztool
