// SPDX-License-Identifier: MIT
#include "json_out.hpp"

#include <charconv>

namespace rztool {

void OutBuffer::put_escaped(std::string_view text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f || c == '\\') {
            put(escape(text));
            return;
        }
    }
    put(text);
}

void JsonStream::newline_indent() {
    out_.put('\n');
    out_.spaces(stack_.size() * 2);
}

void JsonStream::before_value() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!stack_.empty()) {
        Level &top = stack_.back();
        if (!top.empty) {
            put(',');
        }
        top.empty = false;
        newline_indent();
    }
}

void JsonStream::begin_object() {
    before_value();
    put('{');
    stack_.push_back(Level{false, true});
}

void JsonStream::end_object() {
    const bool empty = stack_.back().empty;
    stack_.pop_back();
    if (!empty) {
        newline_indent();
    }
    put('}');
}

void JsonStream::begin_array() {
    before_value();
    put('[');
    stack_.push_back(Level{true, true});
}

void JsonStream::end_array() {
    const bool empty = stack_.back().empty;
    stack_.pop_back();
    if (!empty) {
        newline_indent();
    }
    put(']');
}

JsonStream &JsonStream::key(std::string_view name) {
    before_value();
    put_string(name);
    put(": ");
    afterKey_ = true;
    return *this;
}

void JsonStream::value(std::string_view text) {
    before_value();
    put_string(text);
}

void JsonStream::put_string(std::string_view text) {
    // Plain printable ASCII needs no escaping; anything else goes through
    // the library.
    bool plain = true;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f || c == '"' || c == '\\') {
            plain = false;
            break;
        }
    }
    if (plain) {
        put('"');
        put(text);
        put('"');
        return;
    }
    put(ojson(std::string(text)).dump(-1, ' ', false, ojson::error_handler_t::replace));
}

void JsonStream::value(std::uint64_t n) {
    before_value();
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, n);
    put(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}

void JsonStream::value(std::int64_t n) {
    before_value();
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, n);
    put(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}

void JsonStream::value(bool b) {
    before_value();
    put(b ? "true" : "false");
}

void JsonStream::null() {
    before_value();
    put("null");
}

void JsonStream::value(const ojson &doc) {
    before_value();
    std::string text = doc.dump(2, ' ', false, ojson::error_handler_t::replace);
    std::string indent(stack_.size() * 2, ' ');
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        out += c;
        if (c == '\n') {
            out += indent;
        }
    }
    put(out);
}

void JsonStream::finish() {
    put("\n");
    out_.flush();
}

ojson header_json(const HeaderInfo &header) {
    ojson j;
    j["product_type"] = header.productType;
    j["file_num"] = header.fileNum;
    j["crc"] = header.storedCrc;
    j["crc_computed"] = header.computedCrc;
    j["valid"] = header.valid();
    j["result"] = header.checkCode;
    return j;
}

ojson extension_json(const ExtensionInfo &ext) {
    ojson j;
    j["state"] = ext_state_name(ext.state);
    j["result"] = ext.code;
    j["message"] = ext.message;
    j["count"] = ext.count;
    return j;
}

}  // namespace rztool
