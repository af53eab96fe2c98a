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
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "package.hpp"

namespace rztool {

using ojson = nlohmann::ordered_json;

class JsonStream {
  public:
    explicit JsonStream(std::FILE *out) : out_(out) {}

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
    void put(std::string_view text) { std::fwrite(text.data(), 1, text.size(), out_); }

    struct Level {
        bool array = false;
        bool empty = true;
    };
    std::FILE *out_;
    std::vector<Level> stack_;
    bool afterKey_ = false;
};

// {"valid", "result", "stored_crc", "computed_crc"}
ojson header_json(const HeaderInfo &header);
// {"state", "result", "message", "count"}
ojson extension_json(const ExtensionInfo &ext);

}  // namespace rztool
