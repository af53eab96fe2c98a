// SPDX-License-Identifier: MIT
#include "manifest.hpp"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "rerazera.h"
#include "tool.hpp"

namespace rztool::manifest {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr char kHex[] = "0123456789abcdef";

std::string to_hex(const std::string &bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        out += kHex[u >> 4];
        out += kHex[u & 15];
    }
    return out;
}

std::string from_hex(const std::string &hex, const std::string &what) {
    const auto digit = [&](char c) {
        const int d = hex_digit(c);
        if (d < 0) {
            throw std::invalid_argument(what + ": '" + hex + "' is not hexadecimal");
        }
        return d;
    };
    if (hex.size() % 2 != 0) {
        throw std::invalid_argument(what + ": hexadecimal text of odd length");
    }
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        out += static_cast<char>(digit(hex[i]) * 16 + digit(hex[i + 1]));
    }
    return out;
}

// Text from the package: a JSON string when it is UTF-8, else its bytes in
// hexadecimal under key + "_hex".
void put_text(ordered_json &j, const std::string &key, const std::string &text) {
    try {
        (void)json(text).dump();
        j[key] = text;
    } catch (const json::type_error &) {
        j[key + "_hex"] = to_hex(text);
    }
}

std::string get_text(const json &j, const std::string &key) {
    if (j.contains(key)) {
        return j.at(key).get<std::string>();
    }
    if (j.contains(key + "_hex")) {
        return from_hex(j.at(key + "_hex").get<std::string>(), key + "_hex");
    }
    return {};
}

std::uint32_t get_u32(const json &j, const std::string &key) {
    const json &v = j.at(key);
    if (v.is_number_unsigned()) {
        const auto n = v.get<std::uint64_t>();
        if (n <= UINT32_MAX) {
            return static_cast<std::uint32_t>(n);
        }
    } else if (v.is_string()) {
        if (const auto n = parse_u32(v.get<std::string>())) {
            return *n;
        }
    }
    throw std::invalid_argument("'" + key + "' is not a 32-bit number: " + v.dump());
}

std::uint32_t get_u32(const json &j, const std::string &key, std::uint32_t otherwise) {
    return j.contains(key) ? get_u32(j, key) : otherwise;
}

void put_checksum(ordered_json &j, const std::string &key, const Checksum &c) {
    j[key] = c.stored;
    if (c.actual) {
        j[key + "_computed"] = *c.actual;
    }
}

// `key`, or `old` as version 1 spelled it.
std::string spelling(const json &j, const std::string &key, const std::string &old) {
    return j.contains(key) || !j.contains(old) ? key : old;
}

Checksum get_checksum(const json &j, const std::string &key) {
    Checksum c;
    c.stored = get_u32(j, key);
    const std::string computed = spelling(j, key + "_computed", key + "_actual");
    if (j.contains(computed)) {
        const std::uint32_t actual = get_u32(j, computed);
        if (actual > 0xFFFFu) {
            throw std::invalid_argument("'" + computed + "' is not a 16-bit checksum");
        }
        c.actual = static_cast<std::uint16_t>(actual);
    }
    return c;
}

void put_runs(ordered_json &j, const std::string &key, const std::vector<ByteRun> &runs) {
    if (runs.empty()) {
        return;
    }
    ordered_json o = ordered_json::object();
    for (const ByteRun &r : runs) {
        o[std::to_string(r.at)] = to_hex(std::string(r.bytes.begin(), r.bytes.end()));
    }
    j[key] = o;
}

std::vector<ByteRun> get_runs(const json &j, const std::string &key) {
    std::vector<ByteRun> runs;
    if (!j.contains(key)) {
        return runs;
    }
    for (const auto &[at, hex] : j.at(key).items()) {
        const auto offset = parse_u32(at);
        if (!offset) {
            throw std::invalid_argument("'" + key + "': '" + at + "' is not an offset");
        }
        const std::string bytes = from_hex(hex.get<std::string>(), key + "/" + at);
        runs.push_back(ByteRun{*offset, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
    }
    return runs;
}

void put_bin(ordered_json &j, const BinRecord &b) {
    put_text(j, "name", b.name);
    put_text(j, "description", b.desc);
    if (b.fileId) {
        j["bin_file_id"] = *b.fileId;
    }
    j["data_len"] = b.dataLen;
    put_checksum(j, "head_crc", b.headCrc);
    put_runs(j, "reserved", b.reserved);
}

BinRecord get_bin(const json &j) {
    BinRecord b;
    b.name = get_text(j, "name");
    b.desc = get_text(j, "description");
    if (j.contains("bin_file_id")) {
        b.fileId = get_u32(j, "bin_file_id");
    }
    b.dataLen = get_u32(j, "data_len");
    b.headCrc = get_checksum(j, "head_crc");
    b.reserved = get_runs(j, "reserved");
    return b;
}

SubFile get_entry(const json &e, std::size_t n) {
    try {
        SubFile s;
        const std::string table = e.at("table").get<std::string>();
        if (table != "header" && table != "extension") {
            throw std::invalid_argument("'table' is neither \"header\" nor \"extension\"");
        }
        s.table = table == "header" ? Table::Header : Table::Extension;
        s.index = get_u32(e, "index", 0);
        s.fileId = get_u32(e, "file_id");
        s.offset = get_u32(e, "offset");
        s.length = get_u32(e, "length");
        s.crc = get_checksum(e, "crc");
        s.aux0 = get_u32(e, "aux0", 0);
        s.aux1 = get_u32(e, "aux1", 0);
        if (e.contains("bytes_of")) {
            s.bytesOf = get_u32(e, "bytes_of");
            s.at = get_u32(e, "at", 0);
        }
        if (e.contains("range")) {
            s.range = e.at("range").get<bool>();
            if (s.range && s.bytesOf) {
                throw std::invalid_argument("'range' and 'bytes_of' exclude each other");
            }
        }
        if (s.owns()) {
            s.bin = get_bin(e);
            s.file = get_text(e, "file");
        }
        return s;
    } catch (const std::exception &ex) {
        throw std::invalid_argument("entry " + std::to_string(n) + ": " + ex.what());
    }
}

}  // namespace

std::string head(const Manifest &m) {
    ordered_json j;
    j["format"] = kFormat;
    j["version"] = kVersion;
    j["size"] = m.size;
    ordered_json h;
    h["file_num"] = m.fileNum;
    h["product_type"] = m.productType;
    put_checksum(h, "crc", m.headerCrc);
    put_runs(h, "reserved", m.headerReserved);
    j["header"] = h;
    if (m.ext) {
        const Extension &x = *m.ext;
        ordered_json e;
        e["offset"] = x.offset;
        e["length"] = x.length;
        put_checksum(e, "crc", x.crc);
        e["aux0"] = x.aux0;
        e["aux1"] = x.aux1;
        e["count"] = x.count;
        put_bin(e, x.bin);
        put_checksum(e, "table_crc", x.tableCrc);
        put_runs(e, "table_reserved", x.tableReserved);
        j["extension"] = e;
    } else {
        j["extension"] = nullptr;
    }
    ordered_json gaps = ordered_json::array();
    for (const Gap &g : m.gaps) {
        ordered_json o;
        o["offset"] = g.offset;
        o["length"] = g.length;
        if (!g.file.empty()) {
            put_text(o, "file", g.file);
        }
        gaps.push_back(o);
    }
    j["gaps"] = gaps;
    j["entries"] = ordered_json::array();
    std::string text = j.dump(1);
    // Leave the entries' array open: "[]\n}" becomes "[\n".
    text.resize(text.rfind('['));
    return text + "[\n";
}

std::string entry_line(const SubFile &e, bool last) {
    ordered_json j;
    j["table"] = table_name(e.table);
    j["index"] = e.index;
    j["file_id"] = e.fileId;
    j["offset"] = e.offset;
    j["length"] = e.length;
    put_checksum(j, "crc", e.crc);
    j["aux0"] = e.aux0;
    j["aux1"] = e.aux1;
    if (e.bytesOf) {
        j["bytes_of"] = *e.bytesOf;
        j["at"] = e.at;
    } else if (e.range) {
        j["range"] = true;
    } else if (e.length != 0) {
        put_bin(j, e.bin);
        put_text(j, "file", e.file);
    }
    return "  " + j.dump() + (last ? "\n" : ",\n");
}

std::string tail() {
    return " ]\n}\n";
}

Manifest parse(const std::string &text) {
    // Entries are converted as the parser completes each one and dropped
    // from the document, so a million of them are never held as JSON.
    std::vector<SubFile> entries;
    bool inEntries = false;
    const json::parser_callback_t take = [&](int depth, json::parse_event_t event, json &parsed) {
        // unpack writes nothing deeper; a deeper document would only make
        // the parser hold its nesting.
        if (depth > kMaxDepth) {
            throw std::invalid_argument("nested deeper than " + std::to_string(kMaxDepth) +
                                        " levels");
        }
        if (depth == 1 && event == json::parse_event_t::key) {
            inEntries = parsed == "entries";
        } else if (inEntries && depth == 2 && event == json::parse_event_t::object_end) {
            entries.push_back(get_entry(parsed, entries.size()));
            return false;
        }
        return true;
    };
    const json j = json::parse(text, take);
    if (!j.is_object() || j.value("format", "") != kFormat) {
        throw std::invalid_argument(std::string("not a ") + kFormat + " document");
    }
    const json &version = j.at("version");
    if (!version.is_number_unsigned() || version < kOldestVersion || version > kVersion) {
        throw std::invalid_argument(
            "version " + version.dump() + " is not supported (this rerazera reads versions " +
            std::to_string(kOldestVersion) + " to " + std::to_string(kVersion) + ")");
    }
    Manifest m;
    m.size = get_u32(j, "size", 0);
    const json &h = j.at("header");
    m.fileNum = get_u32(h, "file_num", 0);
    const std::uint32_t productType = get_u32(h, "product_type");
    if (productType > 0xFFFFu) {
        throw std::invalid_argument("'product_type' is not a 16-bit number");
    }
    m.productType = static_cast<std::uint16_t>(productType);
    m.headerCrc = get_checksum(h, spelling(h, "crc", "header_crc"));
    m.headerReserved = get_runs(h, "reserved");
    if (const json &e = j.at("extension"); !e.is_null()) {
        Extension x;
        x.offset = get_u32(e, "offset");
        x.length = get_u32(e, "length");
        x.crc = get_checksum(e, "crc");
        x.aux0 = get_u32(e, "aux0", 0);
        x.aux1 = get_u32(e, "aux1", 0);
        x.count = get_u32(e, "count");
        if (x.count > EXT_MAX_FILE_NUM) {
            throw std::invalid_argument("'count' is more than an extension lists");
        }
        x.bin = get_bin(e);
        x.tableCrc = get_checksum(e, "table_crc");
        x.tableReserved = get_runs(e, "table_reserved");
        m.ext = x;
    }
    for (const json &g : j.at("gaps")) {
        m.gaps.push_back(Gap{get_u32(g, "offset"), get_u32(g, "length"), get_text(g, "file")});
    }
    if (!j.at("entries").is_array()) {
        throw std::invalid_argument("'entries' is not an array");
    }
    m.entries = std::move(entries);
    return m;
}

}  // namespace rztool::manifest
