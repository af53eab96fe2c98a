// SPDX-License-Identifier: MIT
// Numbers and table names as the tool reads and writes them: free of any
// file, terminal or library state, so that the manifest parser can be
// built alone (its fuzz target links this file and manifest.cpp only).
#include <cinttypes>
#include <cstdio>

#include "package.hpp"
#include "tool.hpp"

namespace rztool {
namespace {

// Digits only, in the base given (10 or 16), fitting 64 bits.
std::optional<std::uint64_t> parse_digits(std::string_view text, int base) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    std::uint64_t v = 0;
    for (const char c : text) {
        const int d = hex_digit(c);
        if (d < 0 || d >= base) {
            return std::nullopt;
        }
        if (v > (UINT64_MAX - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) {
            return std::nullopt;
        }
        v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    return v;
}

// Decimal or 0x-hexadecimal, unsigned.
std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return parse_digits(text.substr(2), 16);
    }
    return parse_digits(text, 10);
}

}  // namespace

std::optional<std::uint32_t> parse_u32(const std::string &text) {
    if (!text.empty() && text[0] == '-') {
        const auto v = parse_digits(std::string_view(text).substr(1), 10);
        if (!v || *v > 0x80000000u) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(*v));
    }
    const auto v = parse_unsigned(text);
    if (!v || *v > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*v);
}

std::optional<unsigned> parse_count(const std::string &text, unsigned min, unsigned max) {
    const auto v = parse_unsigned(text);
    if (!v || *v < min || *v > max) {
        return std::nullopt;
    }
    return static_cast<unsigned>(*v);
}

std::string hex32(std::uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08" PRIx32, value);
    return buf;
}

std::string hex16(std::uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04" PRIx32, value & 0xFFFFu);
    return buf;
}

const char *table_name(Table table) {
    return table == Table::Header ? "header" : "extension";
}

}  // namespace rztool
