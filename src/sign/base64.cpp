// SPDX-License-Identifier: MIT
#include "sign/base64.hpp"

#include <sodium.h>

namespace rerazera::sign {

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text,
                                                       std::size_t expected) {
    // Room for one byte more than expected, so that a longer value shows as
    // a wrong length instead of an overflow.
    std::vector<std::uint8_t> out(expected + 1);
    std::size_t written = 0;
    const char *end = nullptr;
    if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &written, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0) {
        return std::nullopt;
    }
    if (end != text.data() + text.size() || written != expected) {
        return std::nullopt;
    }
    out.resize(expected);
    return out;
}

std::string base64_encode(const std::uint8_t *data, std::size_t size) {
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);  // the terminating NUL
    return text;
}

}  // namespace rerazera::sign
