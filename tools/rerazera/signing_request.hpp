// SPDX-License-Identifier: MIT
// The signing request that sign --prepare writes and sign --sign-request
// reads, a short text of six lines:
//
//   rerazera-signing-request 1
//   key-id <16 hex digits>
//   size <bytes>
//   blake2b-512 <128 lower-case hex digits>
//   trusted-comment <the trusted comment, tabs and all>
//   untrusted-comment <the untrusted comment>
//
// Kept apart from the commands so that the fuzzer reads it as they do.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace rztool {

inline constexpr const char *kRequestMagic = "rerazera-signing-request 1";

struct Request {
    std::string keyId;
    std::uint64_t size = 0;
    std::array<std::uint8_t, 64> digest{};
    std::string trusted;
    std::string untrusted;
};

// Why a request was refused: the 1-based line it names and the words.
struct RequestError {
    std::size_t line = 0;
    std::string why;
};

// One line of printable text; tabs only where allowed (the trusted comment),
// which may then be empty.
bool printable(const std::string &s, bool tabs);

// The value of field key in a tab-separated trusted comment, or nullopt.
std::optional<std::string> comment_field(const std::string &comment, const std::string &key);

// The request in text, or nullopt with error set. Every field is checked:
// the key ID's 16 upper-case hex digits, a decimal size that the trusted
// comment's size field repeats, 128 lower-case hex digits, printable
// comments of at most 8000 bytes, and nothing after the sixth line.
std::optional<Request> parse_request(const std::string &text, RequestError &error);

// The text parse_request reads back as req.
std::string request_text(const Request &req);

}  // namespace rztool
