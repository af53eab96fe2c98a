// SPDX-License-Identifier: MIT
// The signing request that sign --sign-request reads, from any text: it is
// refused with a line inside the text (or the one after it) and words, or
// read into fields that hold what the parser promises, and the writer's
// text of those fields reads back to the same fields and the same text.
#include <sodium.h>

#include <string>

#include "harness.hpp"
#include "signing_request.hpp"

namespace {

bool same(const rztool::Request &a, const rztool::Request &b) {
    return a.keyId == b.keyId && a.size == b.size && a.digest == b.digest &&
           a.trusted == b.trusted && a.untrusted == b.untrusted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > rzfuzz::kMaxInput || sodium_init() < 0) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char *>(data), size);
    rztool::RequestError error;
    const auto req = rztool::parse_request(text, error);
    if (!req) {
        std::size_t lines = 0;
        for (const char c : text) {
            lines += c == '\n' ? 1 : 0;
        }
        rzfuzz::expect(error.line >= 1 && error.line <= lines + 1 && !error.why.empty(),
                       "a refusal that names no line of the text");
        return 0;
    }
    rzfuzz::expect(
        req->keyId.size() == 16 && req->trusted.size() <= 8000 && req->untrusted.size() <= 8000,
        "a field longer than the parser allows");
    rzfuzz::expect(rztool::comment_field(req->trusted, "size") == std::to_string(req->size),
                   "a trusted comment that does not repeat the size");
    const std::string written = rztool::request_text(*req);
    rztool::RequestError again;
    const auto back = rztool::parse_request(written, again);
    rzfuzz::expect(back.has_value() && same(*back, *req), "a request the writer cannot give back");
    rzfuzz::expect(rztool::request_text(*back) == written, "a request text that changes");
    return 0;
}
