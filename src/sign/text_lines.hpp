// SPDX-License-Identifier: MIT
// Splitting the small text files of the minisign format into lines.
#pragma once

#include <string_view>
#include <vector>

namespace rerazera::sign {

// The lines of text, split at '\n', each without its line ending (a '\r'
// before the '\n' is dropped too). A final line ending opens no empty line.
inline std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    }
    return lines;
}

// True when every line from `from` on is empty.
inline bool only_empty_from(const std::vector<std::string_view> &lines, std::size_t from) {
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (!lines[i].empty()) {
            return false;
        }
    }
    return true;
}

// text without leading and trailing spaces, tabs and line endings.
inline std::string_view trim(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

inline constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
inline constexpr std::string_view kTrustedPrefix = "trusted comment: ";

// The value of one hexadecimal digit of either case; -1 for any other character.
inline int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace rerazera::sign
