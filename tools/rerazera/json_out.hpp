// SPDX-License-Identifier: MIT
// JSON output shared by info, list, verify and diff. Documents are written
// as a stream, value by value, so that a package of a million entries is
// never held as one document in memory; the layout is that of a two-space
// pretty-print and keys keep the order of the schemas installed under
// share/rerazera/schemas.
//
// One convention for every document the tool writes, the manifest included:
// - it opens with "format": "rerazera-NAME" and "version": N; removing or
//   renaming a key, or changing its type, raises N, additions keep it;
// - a field has one name everywhere: a descriptor is table, index, file_id,
//   offset, length, crc, aux0, aux1; a bin header name, description,
//   data_len, head_crc; the package header product_type, file_num, crc;
// - numbers are JSON numbers, never "0x..." text; a checksum read from the
//   package is X and the one its bytes give is X_computed.
// nlohmann/json escapes the strings; bytes that are not UTF-8 (names and
// descriptions come from packages) are replaced rather than refused.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "package.hpp"

namespace rztool {

using ojson = nlohmann::ordered_json;

// Text gathered in a fixed buffer and written to a stream in large pieces:
// a million rows cost a few thousand writes, and appending is a copy.
class OutBuffer {
  public:
    explicit OutBuffer(std::FILE *out) : out_(out) {}
    ~OutBuffer() { flush(); }
    OutBuffer(const OutBuffer &) = delete;
    OutBuffer &operator=(const OutBuffer &) = delete;

    void put(std::string_view text) {
        if (text.size() > sizeof buf_ - used_) {
            flush();
            if (text.size() > sizeof buf_) {
                std::fwrite(text.data(), 1, text.size(), out_);
                return;
            }
        }
        std::memcpy(buf_ + used_, text.data(), text.size());
        used_ += text.size();
    }
    void put(char c) {
        if (used_ == sizeof buf_) {
            flush();
        }
        buf_[used_++] = c;
    }
    void spaces(std::size_t n) {
        static constexpr char kSpaces[] = "                                                ";
        while (n > 0) {
            const std::size_t k = n < sizeof kSpaces - 1 ? n : sizeof kSpaces - 1;
            put(std::string_view(kSpaces, k));
            n -= k;
        }
    }
    // Package text, escaped for a terminal (see escape()).
    void put_escaped(std::string_view text);
    void flush() {
        if (used_ != 0) {
            std::fwrite(buf_, 1, used_, out_);
            used_ = 0;
        }
    }

  private:
    std::FILE *out_;
    std::size_t used_ = 0;
    char buf_[1u << 16];
};

// The documents and their versions.
struct DocumentKind {
    const char *format;
    unsigned version;
};
inline constexpr DocumentKind kInfoDocument{"rerazera-info", 2};
inline constexpr DocumentKind kListDocument{"rerazera-list", 2};
inline constexpr DocumentKind kVerifyDocument{"rerazera-verify", 2};
inline constexpr DocumentKind kDiffDocument{"rerazera-diff", 2};

class JsonStream {
  public:
    explicit JsonStream(std::FILE *out) : out_(out) {}
    // Opens the document's object with its "format" and "version".
    void begin_document(DocumentKind kind) {
        begin_object();
        key("format").value(kind.format);
        key("version").value(kind.version);
    }
    // Writes what is buffered (before other output goes to the stream).
    void flush() { out_.flush(); }

    void begin_object();
    void end_object();
    void begin_array();
    void end_array();
    // The key of the next member of the enclosing object.
    JsonStream &key(std::string_view name);

    void value(std::string_view text);
    void value(const char *text) { value(std::string_view(text)); }
    void value(const std::string &text) { value(std::string_view(text)); }
    void value(std::uint64_t n);
    void value(std::uint32_t n) { value(std::uint64_t{n}); }
    void value(std::int64_t n);
    void value(std::int32_t n) { value(std::int64_t{n}); }
    void value(bool b);
    void null();
    // A small document built with nlohmann/json, laid out in place.
    void value(const ojson &doc);
    // Ends the document with a newline.
    void finish();

  private:
    void before_value();
    void newline_indent();
    void put_string(std::string_view text);
    void put(std::string_view text) { out_.put(text); }
    void put(char c) { out_.put(c); }

    struct Level {
        bool array = false;
        bool empty = true;
    };
    OutBuffer out_;
    std::vector<Level> stack_;
    bool afterKey_ = false;
};

// {"product_type", "file_num", "crc", "crc_computed", "valid", "result"}
ojson header_json(const HeaderInfo &header);
// {"state", "result", "message", "count"}
ojson extension_json(const ExtensionInfo &ext);

}  // namespace rztool
