// SPDX-License-Identifier: MIT
// JSON output shared by info, list and verify. Documents are written as a
// stream, value by value, so that a package of a million entries is never
// held as one document in memory; the layout is that of a two-space
// pretty-print and keys keep the order of the schema in rerazera(1).
// Every document carries "schema": 1; a change that removes or renames a key
// raises it, additions keep it. nlohmann/json escapes the strings; bytes
// that are not UTF-8 (names and descriptions come from packages) are
// replaced rather than refused.
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

class JsonStream {
  public:
    explicit JsonStream(std::FILE *out) : out_(out) {}
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

// {"valid", "result", "stored_crc", "computed_crc"}
ojson header_json(const HeaderInfo &header);
// {"state", "result", "message", "count"}
ojson extension_json(const ExtensionInfo &ext);

}  // namespace rztool
