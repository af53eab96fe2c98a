// SPDX-License-Identifier: MIT
// rerazera diff OLD NEW: two packages compared entry by entry, keyed by file
// ID (header table and extension alike; the n-th entry of an ID in one is
// paired with its n-th entry in the other). Header fields that changed are
// reported first, then every entry added, removed or changed with what
// changed. The bin headers are compared byte for byte, and the payloads
// (everything after the bin header) wherever the lengths agree, so that a
// changed name or description is told from a changed payload and two
// payloads that share a 16-bit checksum are still found to differ. When
// nothing differs the whole files are compared, so that "same" means byte
// for byte, gaps between sub-files included. Each side's verdict (the
// library's whole-package check) heads the report.
//
// Exit status as diff(1): 0 the same, 1 different, 2 trouble (a package
// cannot be read, or part of one, such as an invalid extension, could not
// be compared).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "json_out.hpp"
#include "package.hpp"
#include "spool.hpp"
#include "tool.hpp"

namespace rztool {
namespace {

struct DiffOptions {
    std::string older;
    std::string newer;
    bool json = false;
    bool moves = false;
};

// What changed in a pair of entries, as bits; names as in the JSON schema.
constexpr unsigned kLength = 1u << 0;
constexpr unsigned kChecksum = 1u << 1;
constexpr unsigned kBytes = 1u << 2;
constexpr unsigned kName = 1u << 3;
constexpr unsigned kDesc = 1u << 4;
constexpr unsigned kAux0 = 1u << 5;
constexpr unsigned kAux1 = 1u << 6;
constexpr unsigned kPosition = 1u << 7;  // table or index
constexpr unsigned kOffset = 1u << 8;
// Past the names of the JSON "changes" list: what the byte comparison found.
constexpr unsigned kHeadBytes = 1u << 9;      // the bin headers' bytes differ
constexpr unsigned kPayloadBytes = 1u << 10;  // the payloads differ (same length)
constexpr unsigned kHeadSame = 1u << 11;      // the bin headers were compared: identical
constexpr unsigned kPayloadSame = 1u << 12;   // the payloads were compared: identical
constexpr unsigned kDataLen = 1u << 13;       // the bin headers' data lengths differ
constexpr unsigned kFound = kHeadBytes | kPayloadBytes | kHeadSame | kPayloadSame | kDataLen;
constexpr const char *kChangeNames[] = {"length", "checksum", "bytes",    "name",  "description",
                                        "aux0",   "aux1",     "position", "offset"};

// Sub-files are compared in pieces of this size, each given back to the
// system once compared.
constexpr std::uint32_t kPiece = 1u << 20;

// Every entry but the extension's own table, as (file ID << 32 | entry
// number), in file-ID order; sorting is skipped when the table already is.
std::vector<std::uint64_t> keyed_entries(const PackageView &pkg) {
    std::vector<std::uint64_t> keys;
    keys.reserve(pkg.entry_count());
    for (std::uint64_t k = 0; k < pkg.entry_count(); ++k) {
        const Entry e = pkg.entry(k);
        if (!pkg.is_dummy(e)) {
            keys.push_back(std::uint64_t{e.desc.fileId} << 32 | k);
        }
    }
    if (!std::is_sorted(keys.begin(), keys.end())) {
        std::sort(keys.begin(), keys.end());
    }
    return keys;
}

// Byte ranges of two packages compared piece by piece. The last answer is
// remembered: entries that share one sub-file are compared once.
class RangeCompare {
  public:
    RangeCompare(const PackageView &a, const PackageView &b) : a_(a), b_(b) {}

    bool same(std::uint32_t offA, std::uint32_t offB, std::uint32_t len) {
        if (offA == lastA_ && offB == lastB_ && len == lastLen_) {
            return lastSame_;
        }
        const std::uint8_t *pa = a_.bytes(offA, len);
        const std::uint8_t *pb = b_.bytes(offB, len);
        bool same = pa != nullptr && pb != nullptr;
        for (std::uint32_t done = 0; same && done < len;) {
            const std::uint32_t n = std::min(len - done, kPiece);
            same = std::memcmp(pa + done, pb + done, n) == 0;
            a_.release(offA + done, n);
            b_.release(offB + done, n);
            done += n;
        }
        // Two ranges that both lie outside their files hold nothing to differ.
        same = same || (pa == nullptr && pb == nullptr);
        lastA_ = offA;
        lastB_ = offB;
        lastLen_ = len;
        lastSame_ = same;
        return same;
    }

  private:
    const PackageView &a_;
    const PackageView &b_;
    std::uint32_t lastA_ = 0;
    std::uint32_t lastB_ = 0;
    std::uint32_t lastLen_ = 0;
    bool lastSame_ = true;  // an empty range at offset 0
};

struct Side {
    Entry entry;
    BinInfo bin;
};

Side side_of(const PackageView &pkg, std::uint64_t key) {
    Side s;
    s.entry = pkg.entry(key & 0xFFFFFFFFu, &s.bin);
    return s;
}

// The byte comparisons, one per kind of range so that each remembers the
// last range it compared (entries sharing a sub-file are compared once).
struct Comparers {
    RangeCompare heads;
    RangeCompare payloads;
    RangeCompare whole;
};

unsigned compare(const Side &a, const Side &b, Comparers &bytes) {
    const QVFileDesc &x = a.entry.desc;
    const QVFileDesc &y = b.entry.desc;
    unsigned c = 0;
    const auto flag = [&c](bool differs, unsigned bit) { c |= differs ? bit : 0u; };
    flag(x.length != y.length, kLength);
    flag(x.crc != y.crc, kChecksum);
    flag(x.aux0 != y.aux0, kAux0);
    flag(x.aux1 != y.aux1, kAux1);
    flag(x.offset != y.offset, kOffset);
    flag(a.entry.table != b.entry.table || a.entry.index != b.entry.index, kPosition);
    flag(a.bin.readable != b.bin.readable || a.bin.name != b.bin.name, kName);
    flag(a.bin.readable != b.bin.readable || a.bin.desc != b.bin.desc, kDesc);
    const bool headers = a.bin.readable && b.bin.readable;
    if (headers) {
        c |= bytes.heads.same(x.offset, y.offset, BIN_HEADER_SIZE) ? kHeadSame : kHeadBytes;
        c |= a.bin.dataLen != b.bin.dataLen ? kDataLen : 0u;
    }
    if (headers && x.length == y.length && x.length >= BIN_HEADER_SIZE) {
        const std::uint32_t n = x.length - BIN_HEADER_SIZE;
        c |= bytes.payloads.same(x.offset + BIN_HEADER_SIZE, y.offset + BIN_HEADER_SIZE, n)
                 ? kPayloadSame
                 : kPayloadBytes;
        c |= (c & kChecksum) == 0 && (c & (kHeadBytes | kPayloadBytes)) != 0 ? kBytes : 0u;
    } else if ((c & (kLength | kChecksum)) == 0 &&
               !bytes.whole.same(x.offset, y.offset, x.length)) {
        c |= kBytes;
    }
    return c;
}

// One header field that differs.
struct FieldChange {
    const char *key;    // JSON: the field's path in the "old" and "new" objects
    const char *label;  // text
    ojson older;
    ojson newer;
};

std::vector<FieldChange> header_changes(const PackageView &a, const PackageView &b) {
    std::vector<FieldChange> out;
    const auto field = [&out](const char *key, const char *label, const ojson &x, const ojson &y) {
        if (x != y) {
            out.push_back({key, label, x, y});
        }
    };
    const HeaderInfo &ha = a.header();
    const HeaderInfo &hb = b.header();
    field("size", "size", a.size(), b.size());
    field("header.product_type", "product type", ha.productType, hb.productType);
    field("header.file_num", "entries", ha.fileNum, hb.fileNum);
    field("header.crc", "header checksum", ha.storedCrc, hb.storedCrc);
    field("extension.state", "extension", ext_state_name(a.ext().state),
          ext_state_name(b.ext().state));
    field("extension.count", "extend subfiles", a.ext().count, b.ext().count);
    return out;
}

std::string field_value(const FieldChange &f, const ojson &v) {
    if (v.is_string()) {
        return v.get<std::string>();
    }
    const auto n = v.get<std::uint64_t>();
    const std::string key = f.key;
    if (key == "header.crc") {
        return hex32(static_cast<std::uint32_t>(n));
    }
    return key == "header.product_type" ? hex16(static_cast<std::uint32_t>(n)) : std::to_string(n);
}

// The changes that make a pair differ, without what was found identical.
constexpr unsigned differences(unsigned c) {
    return c & ~(kHeadSame | kPayloadSame);
}

// A side's whole-package verdict, as verify gives it.
struct Verdict {
    bool known = false;
    std::int32_t result = QVPKG_ERR;
    std::string text;  // the library's lines, trailing newline removed

    [[nodiscard]] bool passed() const { return known && result == QVPKG_OK; }
};

Verdict verdict_of(const PackageView &pkg) {
    Verdict v;
    char msg[512] = "";
    const std::int32_t r = rerazera_package_verify(pkg.handle(), msg, sizeof msg, &v.result);
    v.known = r != RERAZERA_ERR_INVALID_ARGUMENT;
    v.text = trim_newlines(msg);
    return v;
}

// Why part of a package cannot be compared, or "".
std::string incomplete(const PackageView &pkg) {
    if (pkg.header().checkCode == QVPKG_ERR_FILE_NUM) {
        return "the header lists " + std::to_string(pkg.header().fileNum) +
               " entries, more than 256; comparing the first 256";
    }
    if (pkg.ext().state == ExtState::Invalid) {
        return "extension unreadable, comparing the header table only: " + pkg.ext().message;
    }
    return {};
}

class Report {
  public:
    Report(const DiffOptions &opt, const PackageView &a, const PackageView &b)
        : opt_(opt),
          a_(a),
          b_(b),
          verdictA_(verdict_of(a)),
          verdictB_(verdict_of(b)),
          json_(stdout),
          text_(stdout) {}

    void begin(const std::vector<FieldChange> &header) {
        if (opt_.json) {
            json_.begin_document(kDiffDocument);
            json_.key("old").value(package_json(a_, opt_.older, verdictA_));
            json_.key("new").value(package_json(b_, opt_.newer, verdictB_));
            ojson fields = ojson::array();
            for (const FieldChange &f : header) {
                fields.push_back({{"field", f.key}, {"old", f.older}, {"new", f.newer}});
            }
            json_.key("header").value(fields);
            json_.key("entries").begin_array();
            return;
        }
        // -q: the differences and a failing verdict, nothing else.
        if (!quiet()) {
            text_.put("--- ");
            text_.put_escaped(opt_.older);
            text_.put("\n+++ ");
            text_.put_escaped(opt_.newer);
            text_.put('\n');
        }
        verdict_text("old", verdictA_);
        verdict_text("new", verdictB_);
        for (const FieldChange &f : header) {
            text_.put("header  " + std::string(f.label) + ": " + field_value(f, f.older) + " -> " +
                      field_value(f, f.newer) + "\n");
        }
    }

    // An entry of one side only (older or newer), or a pair that differs.
    void entry(const Side *older, const Side *newer, unsigned changes) {
        const bool moved = differences(changes) == kOffset;
        const char *status = older == nullptr   ? "added"
                             : newer == nullptr ? "removed"
                             : moved            ? "moved"
                                                : "changed";
        const Side &any = older != nullptr ? *older : *newer;
        if (opt_.json) {
            json_.begin_object();
            json_.key("status").value(status);
            json_.key("file_id").value(any.entry.desc.fileId);
            json_.key("changes").begin_array();
            for (std::size_t i = 0; i < std::size(kChangeNames); ++i) {
                if ((changes & (1u << i)) != 0) {
                    json_.value(kChangeNames[i]);
                }
            }
            json_.end_array();
            compared_json("bin_header_identical", changes, kHeadSame, kHeadBytes);
            compared_json("payload_identical", changes, kPayloadSame,
                          kPayloadBytes | (changes & kLength));
            side_json("old", older);
            side_json("new", newer);
            json_.end_object();
            return;
        }
        if (moved && !opt_.moves) {
            return;
        }
        text_.put(status);
        text_.spaces(8 - std::strlen(status));
        text_.put(hex32(any.entry.desc.fileId));
        text_.put(' ');
        name_text(any);
        text_.put(" (");
        text_.put(entry_place(any.entry));
        text_.put(')');
        if (older != nullptr && newer != nullptr) {
            changes_text(*older, *newer, changes);
        }
        text_.put('\n');
    }

    void end(std::size_t headerFields, const std::uint64_t (&counts)[5], bool complete,
             bool otherBytes) {
        const bool identical =
            headerFields == 0 && counts[0] + counts[1] + counts[2] + counts[3] == 0 && !otherBytes;
        if (opt_.json) {
            json_.end_array();
            json_.key("other_bytes_differ").value(otherBytes);
            json_.key("summary").value(ojson{{"identical", identical},
                                             {"complete", complete},
                                             {"header_fields", headerFields},
                                             {"changed", counts[0]},
                                             {"moved", counts[1]},
                                             {"added", counts[2]},
                                             {"removed", counts[3]},
                                             {"same", counts[4]}});
            json_.end_object();
            json_.finish();
            return;
        }
        if (otherBytes) {
            text_.put("bytes   outside the entries' sub-files differ\n");
        }
        if (quiet()) {
            text_.flush();
            return;
        }
        std::string line = "summary: ";
        line += identical ? "identical" : "different";
        line += ", " + std::to_string(headerFields) + " header field" +
                (headerFields == 1 ? "" : "s") + ", " + std::to_string(counts[0]) + " changed, " +
                std::to_string(counts[1]) + " moved, " + std::to_string(counts[2]) + " added, " +
                std::to_string(counts[3]) + " removed, " + std::to_string(counts[4]) + " same";
        if (counts[1] != 0 && !opt_.moves) {
            line += " (--moves lists the entries whose only change is their offset)";
        }
        if (!complete) {
            line += "; incomplete, see the errors above";
        }
        text_.put(line + "\n");
        text_.flush();
    }

  private:
    static ojson package_json(const PackageView &pkg, const std::string &name, const Verdict &v) {
        return ojson{{"file", name},
                     {"size", pkg.size()},
                     {"header", header_json(pkg.header())},
                     {"extension", extension_json(pkg.ext())},
                     {"passed", v.passed()},
                     {"result", v.known ? ojson(v.result) : ojson(nullptr)},
                     {"verdict", v.text}};
    }

    // "verdict old: ok", or FAILED with the result and the library's lines.
    void verdict_text(const char *side, const Verdict &v) {
        if (v.passed() && quiet()) {
            return;
        }
        text_.put("verdict ");
        text_.put(side);
        if (v.passed()) {
            text_.put(": ok\n");
            return;
        }
        text_.put(": FAILED");
        if (v.known) {
            text_.put(" (result " + std::to_string(v.result) + ")");
        }
        char sep = ':';
        for (std::size_t at = 0; at < v.text.size();) {
            std::size_t end = v.text.find('\n', at);
            end = end == std::string::npos ? v.text.size() : end;
            if (end > at) {
                text_.put(sep);
                text_.put(' ');
                text_.put_escaped(std::string_view(v.text).substr(at, end - at));
                sep = ';';
            }
            at = end + 1;
        }
        text_.put('\n');
    }

    // true, false, or null when the ranges were not compared.
    void compared_json(const char *key, unsigned c, unsigned same, unsigned differs) {
        json_.key(key);
        if ((c & differs) != 0) {
            json_.value(false);
        } else if ((c & same) != 0) {
            json_.value(true);
        } else {
            json_.null();
        }
    }

    void side_json(const char *key, const Side *s) {
        json_.key(key);
        if (s == nullptr) {
            json_.null();
            return;
        }
        const QVFileDesc &d = s->entry.desc;
        json_.begin_object();
        json_.key("table").value(table_name(s->entry.table));
        json_.key("index").value(s->entry.index);
        json_.key("offset").value(d.offset);
        json_.key("length").value(d.length);
        json_.key("crc").value(d.crc);
        json_.key("aux0").value(d.aux0);
        json_.key("aux1").value(d.aux1);
        if (s->bin.readable) {
            json_.key("name").value(s->bin.name);
            json_.key("description").value(s->bin.desc);
            json_.key("data_len").value(s->bin.dataLen);
        } else {
            json_.key("name").null();
            json_.key("description").null();
            json_.key("data_len").null();
        }
        json_.end_object();
    }

    static std::string entry_place(const Entry &e) {
        return std::string(table_name(e.table)) + " entry " + std::to_string(e.index);
    }

    void name_text(const Side &s) {
        if (!s.bin.readable) {
            text_.put("(bin header unreadable)");
            return;
        }
        text_.put('\'');
        text_.put_escaped(s.bin.name);
        text_.put('\'');
    }

    void quoted(const BinInfo &bin, const std::string &text) {
        if (!bin.readable) {
            text_.put("(unreadable)");
            return;
        }
        text_.put('\'');
        text_.put_escaped(text);
        text_.put('\'');
    }

    // The descriptor's fields, then the bin header, then the payload, each
    // group after "; ": "length 5 -> 6; bin header differs: name 'a' -> 'b';
    // payload identical".
    void changes_text(const Side &a, const Side &b, unsigned c) {
        const QVFileDesc &x = a.entry.desc;
        const QVFileDesc &y = b.entry.desc;
        const char *sep = ": ";
        const char *groupSep = ": ";
        const auto item = [&](const std::string &what) {
            text_.put(sep);
            text_.put(what);
            sep = ", ";
            groupSep = "; ";
        };
        const auto group = [&](const std::string &what) {
            text_.put(groupSep);
            text_.put(what);
            sep = ": ";
            groupSep = "; ";
        };
        const auto number = [&](unsigned bit, const char *what, std::uint32_t u, std::uint32_t v,
                                bool hex) {
            if ((c & bit) != 0) {
                item(std::string(what) + " " + (hex ? hex32(u) : std::to_string(u)) + " -> " +
                     (hex ? hex32(v) : std::to_string(v)));
            }
        };
        number(kLength, "length", x.length, y.length, false);
        number(kChecksum, "checksum", x.crc, y.crc, true);
        number(kAux0, "aux0", x.aux0, y.aux0, true);
        number(kAux1, "aux1", x.aux1, y.aux1, true);
        if ((c & kPosition) != 0) {
            item("position " + entry_place(a.entry) + " -> " + entry_place(b.entry));
        }
        number(kOffset, "offset", x.offset, y.offset, false);
        if ((c & (kHeadBytes | kName | kDesc)) != 0) {
            group("bin header differs");
            if ((c & kName) != 0) {
                item("name ");
                quoted(a.bin, a.bin.name);
                text_.put(" -> ");
                quoted(b.bin, b.bin.name);
            }
            if ((c & kDesc) != 0) {
                item("description ");
                quoted(a.bin, a.bin.desc);
                text_.put(" -> ");
                quoted(b.bin, b.bin.desc);
            }
            number(kDataLen, "data length", a.bin.dataLen, b.bin.dataLen, false);
        }
        if ((c & kPayloadBytes) != 0) {
            group((c & kChecksum) != 0 ? "payload differs"
                                       : "payload differs under the same length and checksum");
        } else if ((c & kPayloadSame) != 0 && (c & (kHeadBytes | kChecksum)) != 0) {
            group("payload identical");
        } else if ((c & kBytes) != 0) {
            group("bytes differ under the same length and checksum");
        }
    }

    const DiffOptions &opt_;
    const PackageView &a_;
    const PackageView &b_;
    Verdict verdictA_;
    Verdict verdictB_;
    JsonStream json_;
    OutBuffer text_;
};

int run_diff(const DiffOptions &opt) {
    if (opt.older == kStdinArg && opt.newer == kStdinArg) {
        report_error(kStdinArg, "standard input can be only one of the two packages");
        return kExitUsage;
    }
    const PackageView a(opt.older);
    if (!a.ok()) {
        report_error(opt.older, a.error());
        return kExitTrouble;
    }
    const PackageView b(opt.newer);
    if (!b.ok()) {
        report_error(opt.newer, b.error());
        return kExitTrouble;
    }
    bool complete = true;
    for (const auto &[pkg, name] : {std::pair{&a, &opt.older}, std::pair{&b, &opt.newer}}) {
        if (const std::string why = incomplete(*pkg); !why.empty()) {
            report_error(*name, why);
            complete = false;
        }
    }

    const std::vector<FieldChange> header = header_changes(a, b);
    Report report(opt, a, b);
    report.begin(header);
    const std::vector<std::uint64_t> ka = keyed_entries(a);
    const std::vector<std::uint64_t> kb = keyed_entries(b);
    Comparers bytes{{a, b}, {a, b}, {a, b}};
    std::uint64_t counts[5] = {};  // changed, moved, added, removed, same
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < ka.size() || j < kb.size()) {
        const bool takeA = j == kb.size() || (i < ka.size() && (ka[i] >> 32) < (kb[j] >> 32));
        const bool takeB = i == ka.size() || (j < kb.size() && (kb[j] >> 32) < (ka[i] >> 32));
        if (takeA) {
            const Side s = side_of(a, ka[i++]);
            report.entry(&s, nullptr, 0);
            ++counts[3];
        } else if (takeB) {
            const Side s = side_of(b, kb[j++]);
            report.entry(nullptr, &s, 0);
            ++counts[2];
        } else {
            const Side x = side_of(a, ka[i++]);
            const Side y = side_of(b, kb[j++]);
            const unsigned c = compare(x, y, bytes);
            if (differences(c) == 0) {
                ++counts[4];
            } else {
                report.entry(&x, &y, c);
                ++counts[differences(c) == kOffset ? 1 : 0];
            }
        }
    }
    // Nothing differs entry by entry: the rest of the bytes (the header's
    // unused descriptors, gaps between sub-files) decide.
    bool otherBytes = false;
    if (header.empty() && counts[0] + counts[1] + counts[2] + counts[3] == 0) {
        otherBytes = !bytes.whole.same(0, 0, a.size());
    }
    report.end(header.size(), counts, complete, otherBytes);
    if (!complete) {
        return kExitTrouble;
    }
    const bool same =
        header.empty() && counts[4] == ka.size() && ka.size() == kb.size() && !otherBytes;
    return same ? kExitOk : kExitFailure;
}

}  // namespace

void add_diff(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<DiffOptions>();
    CLI::App *cmd = app.add_subcommand(
        "diff", "Compare two packages entry by entry, keyed by file ID; exit 1 when they differ");
    cmd->add_option("old", opt->older, "Package compared from, or - for standard input")
        ->required();
    cmd->add_option("new", opt->newer, "Package compared to, or - for standard input")->required();
    cmd->add_flag("--json", opt->json, "Print a JSON document (schema in rerazera(1))");
    cmd->add_flag("--moves", opt->moves, "Also list the entries whose only change is their offset");
    cmd->footer(
        "Exit status as diff(1): 0 the packages are the same byte for byte, 1 they differ, 2 "
        "trouble (a package cannot be read, or part of one could not be compared).");
    cmd->callback([opt, &run] { run = [opt] { return run_diff(*opt); }; });
}

}  // namespace rztool
