// SPDX-License-Identifier: MIT
// rerazera pack -o PKG [--product-type N] (FILE... | --manifest FILE [--reflow])
//
// Builds a valid package from payload files with the project's package
// writer's layout: every bin header, payload, table and header checksum
// computed, and an extension when there are more than 256 sub-files.
// Payloads are streamed through a fixed buffer twice (checksums first, since
// the header that holds them comes first, then the copy), so memory does not
// grow with their size.
//
// Manifests come in two forms, told apart by their first non-blank
// character:
// - '{': the manifest.json that unpack writes (see manifest.hpp). The
//   package is rebuilt as it was, every piece in its place and gaps kept;
//   payloads that changed move what follows them and get new lengths and
//   checksums. --reflow places the sub-files tightly instead.
// - anything else: one sub-file per line, "ID NAME PATH [DESCRIPTION...]";
//   blank lines and lines starting with '#' are skipped; NAME and PATH may be
//   written in double quotes to hold spaces; PATH is relative to the
//   manifest's directory; the description is the rest of the line.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "crc_stream.hpp"
#include "manifest.hpp"
#include "output.hpp"
#include "package.hpp"
#include "progress.hpp"
#include "rerazera.h"
#include "tool.hpp"
#include "writer/package_writer.hpp"

namespace rztool {
namespace {

// Writes the package piece by piece, reporting a failed write once and
// moving the progress line along.
struct ProgressWriter {
    OutputFile &out;
    Progress &progress;
    std::uint64_t written = 0;

    bool operator()(const std::uint8_t *p, std::size_t n) {
        if (!out.write(p, n)) {
            report_error(out.name(), out.error());
            return false;
        }
        written += n;
        progress.update(written);
        return true;
    }
};

using rerazera::writer::plan_layout;
using rerazera::writer::PlannedFile;
using rerazera::writer::StreamLayout;
using rerazera::writer::SubFile;

struct PackOptions {
    std::string out;
    std::string productType = "0";
    std::string manifest;
    std::string firstId = "1";
    std::vector<std::string> files;
    bool productTypeGiven = false;
    bool reflow = false;
    bool anyPath = false;  // manifest payloads may lie outside its folder
};

struct Item {
    std::uint32_t id = 0;
    std::string name;
    std::string desc;
    std::string path;
    std::string origin;  // where it was given, for messages
    std::string root;    // the folder it must lie in, "" for anywhere
};

constexpr std::size_t kNameMax = 95;  // the bin header's field less its terminator
constexpr std::size_t kDescMax = 127;
constexpr std::uint64_t kMaxSubFiles = QVPKG_MAX_FILE_NUM - 1 + EXT_MAX_FILE_NUM;
constexpr std::uint64_t kMaxPackage = 0x7FFFFFFFu;  // 32-bit signed file positions

std::string base_name(const std::string &path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Next whitespace-separated token, or a double-quoted one.
bool next_token(const std::string &line, std::size_t &pos, std::string &token) {
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) {
        return false;
    }
    if (line[pos] == '"') {
        const std::size_t end = line.find('"', pos + 1);
        if (end == std::string::npos) {
            throw std::invalid_argument("unterminated quote");
        }
        token = line.substr(pos + 1, end - pos - 1);
        pos = end + 1;
        return true;
    }
    const std::size_t end = line.find_first_of(" \t", pos);
    token = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? line.size() : end;
    return true;
}

// The directory part of a path, with its slash, for paths relative to it.
std::string dir_of(const std::string &path) {
    return path.find('/') == std::string::npos ? std::string()
                                               : path.substr(0, path.find_last_of('/') + 1);
}

// A manifest comes from whoever made the folder it sits in: the files it
// names stay inside that folder, so that packing someone else's unpacked
// package cannot pull in /etc/shadow or a key. The folder as a real path,
// or "" with --any-path.
std::string payload_root(const std::string &manifest, bool anyPath) {
    if (anyPath) {
        return "";
    }
    const std::string dir = dir_of(manifest);
    char *real = ::realpath(dir.empty() ? "." : dir.c_str(), nullptr);
    std::string root = real != nullptr ? real : "/nonexistent";
    std::free(real);
    return root;
}

// Why a payload path as a manifest writes it is refused: absolute, or with
// a ".." component. Empty when it may be used.
std::string written_path_problem(const std::string &written, const std::string &root) {
    if (root.empty()) {
        return {};
    }
    const std::string why = "' leads out of the manifest's folder (--any-path allows it)";
    if (!written.empty() && written[0] == '/') {
        return "the absolute path '" + escape(written) + why;
    }
    for (std::size_t at = 0; at <= written.size();) {
        const std::size_t end = std::min(written.find('/', at), written.size());
        if (written.compare(at, end - at, "..") == 0) {
            return "the path '" + escape(written) + why;
        }
        at = end + 1;
    }
    return {};
}

// The opened file itself lies inside root: a symbolic link anywhere on its
// path is judged by where it led.
bool opened_inside(int fd, const std::string &root) {
    if (root.empty()) {
        return true;
    }
    char real[PATH_MAX + 1];
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(self.c_str(), real, PATH_MAX);
    if (n <= 0) {
        return false;
    }
    const std::string at(real, static_cast<std::size_t>(n));
    return root == "/" || (at.size() > root.size() && at.compare(0, root.size(), root) == 0 &&
                           at[root.size()] == '/');
}

bool read_manifest(const std::string &manifest, const std::string &text, std::vector<Item> &items,
                   const std::string &root) {
    const std::string dir = dir_of(manifest);
    std::string line;
    // Lines are taken from the text one at a time, each measured before it
    // is copied.
    std::size_t next = 0;
    for (unsigned lineNo = 1; next < text.size(); ++lineNo) {
        const std::size_t at = next;
        const std::size_t eol = std::min(text.find('\n', at), text.size());
        next = eol + 1;
        const std::string where = manifest + ":" + std::to_string(lineNo);
        if (eol - at > manifest::kMaxLine) {
            report_error(where, "the line is longer than " + std::to_string(manifest::kMaxLine) +
                                    " bytes; one holds one sub-file");
            return false;
        }
        line.assign(text, at, eol - at);
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        Item item;
        item.origin = where;
        std::string id;
        std::size_t pos = 0;
        try {
            if (!next_token(line, pos, id) || !next_token(line, pos, item.name) ||
                !next_token(line, pos, item.path)) {
                report_error(where, "expected 'ID NAME PATH [DESCRIPTION]'");
                return false;
            }
        } catch (const std::invalid_argument &e) {
            report_error(where, e.what());
            return false;
        }
        const auto parsed = parse_u32(id);
        if (!parsed) {
            report_error(where, "'" + id + "' is not a 32-bit file ID (decimal or 0x-hex)");
            return false;
        }
        item.id = *parsed;
        const std::size_t descAt = line.find_first_not_of(" \t", pos);
        if (descAt != std::string::npos) {
            item.desc = line.substr(descAt);
            if (item.desc.size() >= 2 && item.desc.front() == '"' && item.desc.back() == '"') {
                item.desc = item.desc.substr(1, item.desc.size() - 2);
            }
        }
        if (const std::string why = written_path_problem(item.path, root); !why.empty()) {
            report_error(where, why);
            return false;
        }
        if (!item.path.empty() && item.path[0] != '/') {
            item.path = dir + item.path;
        }
        item.root = root;
        items.push_back(std::move(item));
    }
    return true;
}

constexpr std::size_t kBuffer = 1u << 20;

// Streams a payload file through buf, feeding its bytes to `use`; false
// with a message when it cannot be read or its length is not `size`.
template <typename Use>
bool stream_payload(const std::string &path, std::uint32_t size, std::vector<std::uint8_t> &buf,
                    Use use, const std::string &root = "") {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        report_error(path, std::strerror(errno));
        return false;
    }
    if (!opened_inside(fd, root)) {
        ::close(fd);
        report_error(path,
                     "leads out of the manifest's folder through a symbolic link "
                     "(--any-path allows it)");
        return false;
    }
    std::uint64_t total = 0;
    bool ok = true;
    for (;;) {
        // Pieces are read whole, so every piece but the last is full.
        std::size_t got = 0;
        while (got < buf.size()) {
            const ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                report_error(path, std::strerror(errno));
                ok = false;
                break;
            }
            if (n == 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        if (!ok || got == 0) {
            break;
        }
        total += got;
        if (total > size) {
            break;
        }
        if (!use(buf.data(), got)) {
            ok = false;
            break;
        }
        if (got < buf.size()) {
            break;
        }
    }
    ::close(fd);
    if (ok && total != size) {
        report_error(path,
                     "changed while it was packed (" + std::to_string(size) + " bytes expected)");
        ok = false;
    }
    return ok;
}

// Everything that would make the package invalid or ambiguous is refused
// here, before anything is read or written: readers find only the first
// of two equal IDs or names, and take a header entry 255 with the ID 0xABEF
// for the extension's dummy bin file. A name or description may fill its
// whole field, terminator left out, only when it is rebuilt from unpack's
// manifest (packages that do so exist; pack does not make new ones).
bool check_items(const std::vector<Item> &items, bool fullFields = false) {
    const std::size_t nameMax = kNameMax + (fullFields ? 1 : 0);
    const std::size_t descMax = kDescMax + (fullFields ? 1 : 0);
    if (items.empty()) {
        report_error("pack", "no sub-files given");
        return false;
    }
    if (items.size() > kMaxSubFiles) {
        report_error("pack",
                     "a package holds at most " + std::to_string(kMaxSubFiles) + " sub-files");
        return false;
    }
    std::map<std::uint32_t, std::string> ids;
    std::map<std::string, std::string> names;
    for (const Item &it : items) {
        if (it.name.empty()) {
            report_error(it.origin, "the name is empty");
            return false;
        }
        if (it.name.size() > nameMax) {
            report_error(it.origin, "name '" + it.name + "' is longer than " +
                                        std::to_string(nameMax) + " bytes");
            return false;
        }
        for (const char c : it.name) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '/' || u < 0x20 || u == 0x7f) {
                report_error(it.origin, "name '" + it.name +
                                            "' contains '/' or a control character, which no "
                                            "extraction could keep");
                return false;
            }
        }
        if (it.desc.size() > descMax) {
            report_error(it.origin,
                         "description is longer than " + std::to_string(descMax) + " bytes");
            return false;
        }
        if (it.id == DUMMY_DESC_FILE_ID) {
            report_error(it.origin, "file ID " + hex32(it.id) +
                                        " is reserved: it marks the extension's dummy bin file");
            return false;
        }
        if (const auto [where, inserted] = ids.emplace(it.id, it.origin); !inserted) {
            report_error(it.origin,
                         "file ID " + hex32(it.id) + " is already used by " + where->second);
            return false;
        }
        if (const auto [where, inserted] = names.emplace(it.name, it.origin); !inserted) {
            report_error(it.origin, "name '" + it.name + "' is already used by " + where->second);
            return false;
        }
    }
    return true;
}

// ---- Rebuilding an unpacked package ------------------------------------------

void store_be32(std::uint8_t *p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void store_be16(std::uint8_t *p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

namespace mf = manifest;
using rerazera::writer::apply_runs;
using rerazera::writer::BinFields;
using rerazera::writer::crc16;
using rerazera::writer::RawDesc;
using rerazera::writer::store_desc;

// A piece of the package behind the header: a sub-file, the extension's
// dummy bin file with its table, or a gap.
struct Part {
    enum Kind { SubFileKind, ExtensionKind, GapKind } kind = SubFileKind;
    std::size_t index = 0;  // into the manifest's entries or gaps
    std::uint64_t start = 0;
    std::uint64_t oldSize = 0;
    std::uint64_t newSize = 0;
    std::uint64_t at = 0;  // where it goes in the new package
    std::string path;      // payload or gap file; "" for a gap of zeros
};

struct Rebuild {
    const PackOptions &opt;
    const std::string where;  // the manifest, for messages
    mf::Manifest m;
    std::vector<Part> parts;
    std::vector<std::uint16_t> payloadCrc;  // per entry
    std::vector<std::uint32_t> payloadSize;
    std::vector<FileIdentity> inputs;
    std::vector<const Part *> partOf = {};  // per entry, once placed
    std::vector<std::uint8_t> buf = std::vector<std::uint8_t>(kBuffer);
    std::uint32_t headerCount = 0;
    std::string root = payload_root(where, opt.anyPath);  // payloads stay inside it
    std::uint64_t packageSize = 0;                        // once planned

    bool fail(const std::string &why) {
        report_error(where, why);
        return false;
    }

    // The table order the format allows: header entries, then extension
    // ones, which need the extension and exactly 255 header entries.
    bool check_tables() {
        std::uint32_t ext = 0;
        for (const mf::SubFile &s : m.entries) {
            if (s.table == Table::Header) {
                if (ext != 0) {
                    return fail("header entries must come before the extension's");
                }
                ++headerCount;
            } else {
                ++ext;
            }
        }
        if (ext != 0 && !m.ext) {
            return fail("extension entries are listed but there is no extension");
        }
        if (m.ext ? headerCount != QVPKG_MAX_FILE_NUM - 1 : headerCount > QVPKG_MAX_FILE_NUM) {
            return fail(m.ext ? "a package with an extension has exactly 255 header entries"
                              : "the header table holds at most 256 entries");
        }
        if (ext > EXT_MAX_FILE_NUM) {
            return fail("an extension lists at most 1048575 sub-files");
        }
        std::vector<Item> items;
        for (std::size_t i = 0; i < m.entries.size(); ++i) {
            const mf::SubFile &s = m.entries[i];
            if (s.owns()) {
                items.push_back(Item{s.fileId, s.bin.name, s.bin.desc, dir_of(where) + s.file,
                                     where + ": entry " + std::to_string(i), root});
            }
        }
        return items.empty() || check_items(items, true);
    }

    // First pass: every payload's size and checksum, and the new place of
    // every part.
    bool plan() {
        for (std::size_t i = 0; i < m.entries.size(); ++i) {
            const mf::SubFile &s = m.entries[i];
            payloadCrc.push_back(0);
            payloadSize.push_back(0);
            if (!s.owns()) {
                continue;
            }
            // unpack writes a length that holds the bin header and its
            // payload; a smaller one would describe a sub-file cut short.
            if (s.length < std::uint64_t{BIN_HEADER_SIZE} + s.bin.dataLen) {
                return fail("entry " + std::to_string(i) + ": its length " +
                            std::to_string(s.length) + " is shorter than its bin header and " +
                            "data_len " + std::to_string(s.bin.dataLen) + " need");
            }
            const std::string path = dir_of(where) + s.file;
            std::uint64_t size = 0;
            FileIdentity id;
            if (const std::string why = written_path_problem(s.file, root); !why.empty()) {
                return fail("entry " + std::to_string(i) + ": " + why);
            }
            if (s.file.empty() || !check_input_file(path, &size, &id)) {
                return s.file.empty() ? fail("entry " + std::to_string(i) + " names no file")
                                      : false;
            }
            inputs.push_back(id);
            Crc16Stream crc;
            if (!stream_payload(
                    path, static_cast<std::uint32_t>(size), buf,
                    [&crc](std::uint8_t *p, std::size_t n) {
                        crc.update(p, n);
                        return true;
                    },
                    root)) {
                return false;
            }
            payloadCrc.back() = crc.value();
            payloadSize.back() = static_cast<std::uint32_t>(size);
            parts.push_back(Part{Part::SubFileKind, i, s.offset,
                                 std::uint64_t{BIN_HEADER_SIZE} + s.bin.dataLen,
                                 BIN_HEADER_SIZE + size, 0, path});
        }
        if (m.ext) {
            const mf::Extension &x = *m.ext;
            if (x.bin.dataLen < QVPKG_2ND_TABLE_SIZE(x.count) ||
                x.length < std::uint64_t{BIN_HEADER_SIZE} + x.bin.dataLen) {
                return fail("the extension's data_len " + std::to_string(x.bin.dataLen) +
                            " and length " + std::to_string(x.length) +
                            " do not hold its table of " + std::to_string(x.count) + " entries (" +
                            std::to_string(QVPKG_2ND_TABLE_SIZE(x.count)) + " bytes)");
            }
            parts.push_back(
                Part{Part::ExtensionKind, 0, m.ext->offset,
                     BIN_HEADER_SIZE + std::uint64_t{QVPKG_2ND_TABLE_SIZE(m.ext->count)},
                     BIN_HEADER_SIZE + std::uint64_t{QVPKG_2ND_TABLE_SIZE(ext_count())}, 0, ""});
        }
        for (std::size_t i = 0; i < m.gaps.size() && !opt.reflow; ++i) {
            const mf::Gap &g = m.gaps[i];
            Part part{Part::GapKind, i, g.offset, g.length, g.length, 0, ""};
            if (!g.file.empty()) {
                if (const std::string why = written_path_problem(g.file, root); !why.empty()) {
                    return fail("gap " + std::to_string(i) + ": " + why);
                }
                part.path = dir_of(where) + g.file;
                FileIdentity id;
                if (!check_input_file(part.path, &part.newSize, &id)) {
                    return false;
                }
                inputs.push_back(id);
            }
            parts.push_back(part);
        }
        std::stable_sort(parts.begin(), parts.end(),
                         [](const Part &a, const Part &b) { return a.start < b.start; });
        std::uint64_t expected = QVPKG_HEADER_SIZE;
        std::uint64_t at = QVPKG_HEADER_SIZE;
        for (Part &p : parts) {
            // A hole is a piece that was taken out of the manifest (an entry
            // deleted): what follows closes up. Overlaps cannot be rebuilt.
            if (!opt.reflow && p.start < expected) {
                return fail("the piece at offset " + std::to_string(p.start) +
                            " overlaps the one before it, which ends at " +
                            std::to_string(expected) + " (use --reflow to lay them out anew)");
            }
            expected = p.start + p.oldSize;
            p.at = at;
            at += p.newSize;
        }
        if (at > kMaxPackage) {
            return fail(
                "the package would exceed 2 GiB, the limit of the 32-bit signed file positions "
                "that readers use");
        }
        packageSize = at;
        partOf.assign(m.entries.size(), nullptr);
        for (const Part &p : parts) {
            if (p.kind == Part::SubFileKind) {
                partOf[p.index] = &p;
            }
        }
        return check_shares();
    }

    // An entry sharing bytes names one that holds them, and stays within
    // them as they are now.
    bool check_shares() {
        for (std::size_t i = 0; i < m.entries.size(); ++i) {
            const mf::SubFile &s = m.entries[i];
            if (!s.bytesOf) {
                continue;
            }
            const std::string entry = "entry " + std::to_string(i) + ": ";
            const std::uint32_t k = *s.bytesOf;
            const std::string owner = "entry " + std::to_string(k);
            if (k >= m.entries.size()) {
                return fail(entry + "'bytes_of' names " + owner + ", which the manifest lacks");
            }
            if (k == i) {
                return fail(entry + "'bytes_of' names the entry itself");
            }
            if (partOf[k] == nullptr) {
                return fail(entry + "'bytes_of' names " + owner +
                            ", which has no bytes of its own");
            }
            const std::uint32_t length = new_length(m.entries[k].length, *partOf[k]);
            if (!mf::follows(s, m.entries[k]) && std::uint64_t{s.at} + s.length > length) {
                return fail(entry + "'at' " + std::to_string(s.at) + " + length " +
                            std::to_string(s.length) + " runs past the " + std::to_string(length) +
                            " bytes of " + owner);
            }
        }
        return true;
    }

    [[nodiscard]] std::uint32_t ext_count() const {
        return static_cast<std::uint32_t>(m.entries.size() - headerCount);
    }

    // A length that grows or shrinks with its content; tight with --reflow.
    std::uint32_t new_length(std::uint32_t stored, const Part &p) const {
        if (opt.reflow) {
            return static_cast<std::uint32_t>(p.newSize);
        }
        const std::uint64_t grown = std::uint64_t{stored} + p.newSize;
        return grown < p.oldSize ? 0 : static_cast<std::uint32_t>(grown - p.oldSize);
    }

    std::vector<std::uint8_t> bin_header(const mf::BinRecord &b, std::uint32_t descId,
                                         std::uint32_t fileNum, std::uint32_t dataLen) const {
        auto h = rerazera::writer::make_bin_header(
            BinFields{b.fileId.value_or(descId), fileNum, b.name, b.desc, dataLen, b.reserved});
        store_be32(h.data() + 4, b.headCrc.seal(crc16(h.data() + 8, BIN_HEADER_CRC_LEN)));
        return h;
    }

    // Second pass: the header and the pieces in their new order.
    int write() {
        std::vector<RawDesc> descs(m.entries.size());
        const Part *extPart = nullptr;
        for (const Part &p : parts) {
            if (p.kind == Part::ExtensionKind) {
                extPart = &p;
            }
        }
        for (std::size_t i = 0; i < m.entries.size(); ++i) {
            const mf::SubFile &s = m.entries[i];
            descs[i] = RawDesc{s.fileId, s.offset, s.length, s.crc.stored, s.aux0, s.aux1};
            if (const Part *p = partOf[i]) {
                descs[i].offset = static_cast<std::uint32_t>(p->at);
                descs[i].length = new_length(s.length, *p);
                descs[i].crc = s.crc.seal(payloadCrc[i]);
                // Bytes past the bin file were another piece's; they must
                // still be in the package.
                if (p->at + descs[i].length > packageSize) {
                    fail("entry " + std::to_string(i) + ": its length " + std::to_string(s.length) +
                         " reaches past the end of the package");
                    return kExitTrouble;
                }
            }
        }
        // Owners are placed: entries sharing their bytes move with them.
        for (std::size_t i = 0; i < m.entries.size(); ++i) {
            const mf::SubFile &s = m.entries[i];
            if (s.bytesOf) {
                const RawDesc &owner = descs[*s.bytesOf];
                descs[i].offset = owner.offset + s.at;
                if (mf::follows(s, m.entries[*s.bytesOf])) {
                    descs[i].length = owner.length;
                    descs[i].crc = s.crc.seal(payloadCrc[*s.bytesOf]);
                }
            }
        }
        std::vector<std::uint8_t> header(QVPKG_HEADER_SIZE, 0);
        std::vector<std::uint8_t> extension;
        try {
            apply_runs(header.data(), header.size(), m.headerReserved);
            if (m.ext) {
                extension = extension_image(descs, *extPart);
                const mf::Extension &x = *m.ext;
                store_desc(header.data() + 32 + std::size_t{headerCount} * 24,
                           RawDesc{DUMMY_DESC_FILE_ID, static_cast<std::uint32_t>(extPart->at),
                                   new_length(x.length, *extPart),
                                   x.crc.seal(crc16(extension.data() + BIN_HEADER_SIZE,
                                                    extension.size() - BIN_HEADER_SIZE)),
                                   x.aux0, x.aux1});
            }
        } catch (const std::invalid_argument &e) {
            report_error(where, e.what());
            return kExitTrouble;
        }
        store_be32(header.data() + 4, headerCount + (m.ext ? 1 : 0));
        store_be16(header.data() + 30, product_type());
        for (std::uint32_t i = 0; i < headerCount; ++i) {
            store_desc(header.data() + 32 + std::size_t{i} * 24, descs[i]);
        }
        store_be32(header.data() + 6176, m.headerCrc.seal(crc16(header.data(), 6176)));

        OutputFile out(opt.out, inputs, true);
        if (!out.ok()) {
            report_error(out.name(), out.error());
            return kExitTrouble;
        }
        const std::uint64_t total =
            parts.empty() ? QVPKG_HEADER_SIZE : parts.back().at + parts.back().newSize;
        Progress progress("pack " + opt.out, total);
        ProgressWriter put{out, progress};
        if (!put(header.data(), header.size())) {
            return kExitTrouble;
        }
        for (const Part &p : parts) {
            if (!write_part(p, descs, extension, put)) {
                return kExitTrouble;
            }
        }
        if (!out.commit()) {
            report_error(out.name(), out.error());
            return kExitTrouble;
        }
        return kExitOk;
    }

    std::vector<std::uint8_t> extension_image(const std::vector<RawDesc> &descs,
                                              const Part &p) const {
        const mf::Extension &x = *m.ext;
        const std::uint32_t n = ext_count();
        const std::size_t tableSize = QVPKG_2ND_TABLE_SIZE(n);
        std::vector<std::uint8_t> table(tableSize, 0);
        apply_runs(table.data(), 32, x.tableReserved);
        store_be32(table.data() + 4, n);
        for (std::uint32_t i = 0; i < n; ++i) {
            store_desc(table.data() + 32 + std::size_t{i} * 24, descs[headerCount + i]);
        }
        store_be32(table.data() + tableSize - 4,
                   x.tableCrc.seal(crc16(table.data(), tableSize - 4)));
        const std::uint64_t dataLen =
            opt.reflow ? tableSize : std::uint64_t{x.bin.dataLen} + p.newSize - p.oldSize;
        auto image = bin_header(x.bin, DUMMY_BIN_FILE_ID, n, static_cast<std::uint32_t>(dataLen));
        image.insert(image.end(), table.begin(), table.end());
        return image;
    }

    template <typename Put>
    bool write_part(const Part &p, const std::vector<RawDesc> &descs,
                    const std::vector<std::uint8_t> &extension, Put &put) {
        if (p.kind == Part::ExtensionKind) {
            return put(extension.data(), extension.size());
        }
        if (p.kind == Part::GapKind && p.path.empty()) {
            std::fill(buf.begin(), buf.end(), 0);
            for (std::uint64_t left = p.newSize; left > 0;) {
                const std::size_t n = left < buf.size() ? left : buf.size();
                if (!put(buf.data(), n)) {
                    return false;
                }
                left -= n;
            }
            return true;
        }
        if (p.kind == Part::SubFileKind) {
            const mf::SubFile &s = m.entries[p.index];
            const auto h = bin_header(s.bin, descs[p.index].fileId, 0, payloadSize[p.index]);
            if (!put(h.data(), h.size())) {
                return false;
            }
        }
        const auto size =
            static_cast<std::uint32_t>(p.kind == Part::GapKind ? p.newSize : payloadSize[p.index]);
        Crc16Stream crc;
        if (!stream_payload(
                p.path, size, buf,
                [&](std::uint8_t *data, std::size_t n) {
                    crc.update(data, n);
                    return put(data, n);
                },
                root)) {
            return false;
        }
        if (p.kind == Part::SubFileKind && crc.value() != payloadCrc[p.index]) {
            report_error(p.path, "changed while it was packed");
            return false;
        }
        return true;
    }

    [[nodiscard]] std::uint16_t product_type() const {
        return opt.productTypeGiven ? static_cast<std::uint16_t>(*parse_u32(opt.productType))
                                    : m.productType;
    }
};

int repack(const PackOptions &opt, const std::string &text, std::vector<FileIdentity> inputs) {
    Rebuild r{opt, opt.manifest, {}, {}, {}, {}, std::move(inputs)};
    try {
        r.m = mf::parse(text);
    } catch (const std::exception &e) {
        report_error(opt.manifest, std::string("not a usable manifest: ") + e.what());
        return kExitTrouble;
    }
    if (!r.check_tables() || !r.plan()) {
        return kExitTrouble;
    }
    install_cleanup_handlers();
    return r.write();
}

int run_pack(const PackOptions &opt) {
    const auto productType = parse_u32(opt.productType);
    if (!productType || *productType > 0xFFFFu) {
        report_error("--product-type", "'" + opt.productType + "' is not a 16-bit number");
        return kExitUsage;
    }
    std::vector<Item> items;
    std::vector<FileIdentity> inputs;
    if (!opt.manifest.empty()) {
        FileIdentity id;
        std::uint64_t size = 0;
        if (!check_input_file(opt.manifest, &size, &id)) {
            return kExitTrouble;
        }
        if (size > manifest::kMaxSize) {
            report_error(opt.manifest, "is larger than 1 GiB; no manifest of a package is");
            return kExitTrouble;
        }
        inputs.push_back(id);
        std::ifstream in(opt.manifest, std::ios::binary);
        std::string all(static_cast<std::size_t>(size), '\0');
        if (!in.read(all.data(), static_cast<std::streamsize>(size))) {
            report_error(opt.manifest, "cannot be read whole (it changed while it was read?)");
            return kExitTrouble;
        }
        const std::size_t first = all.find_first_not_of(" \t\r\n");
        if (first != std::string::npos && all[first] == '{') {
            return repack(opt, all, std::move(inputs));
        }
        if (opt.reflow) {
            report_error("--reflow", "applies to the manifest that unpack writes");
            return kExitUsage;
        }
        if (!read_manifest(opt.manifest, all, items, payload_root(opt.manifest, opt.anyPath))) {
            return kExitTrouble;
        }
    } else {
        const auto firstId = parse_u32(opt.firstId);
        if (!firstId) {
            report_error("--first-id", "'" + opt.firstId + "' is not a 32-bit number");
            return kExitUsage;
        }
        if (std::uint64_t{*firstId} + opt.files.size() - 1 > UINT32_MAX) {
            report_error("--first-id", "IDs counting up from " + hex32(*firstId) + " for " +
                                           std::to_string(opt.files.size()) +
                                           " files would pass 0xffffffff and wrap around");
            return kExitUsage;
        }
        std::uint32_t id = *firstId;
        for (const std::string &path : opt.files) {
            items.push_back(Item{id++, base_name(path), "", path, path, ""});
        }
    }
    if (!check_items(items)) {
        return kExitTrouble;
    }

    // First pass: sizes and payload checksums, through one fixed buffer.
    std::vector<PlannedFile> planned;
    planned.reserve(items.size());
    std::vector<std::uint8_t> buf(kBuffer);
    std::uint64_t total = QVPKG_HEADER_SIZE;
    for (const Item &it : items) {
        std::uint64_t size = 0;
        FileIdentity id;
        if (!check_input_file(it.path, &size, &id)) {
            return kExitTrouble;
        }
        inputs.push_back(id);
        total += BIN_HEADER_SIZE + size;
        if (total > kMaxPackage) {
            report_error(it.path,
                         "the package would exceed 2 GiB, the limit of the 32-bit "
                         "signed file positions that readers use");
            return kExitTrouble;
        }
        Crc16Stream crc;
        if (!stream_payload(
                it.path, static_cast<std::uint32_t>(size), buf,
                [&crc](std::uint8_t *p, std::size_t n) {
                    crc.update(p, n);
                    return true;
                },
                it.root)) {
            return kExitTrouble;
        }
        planned.push_back(PlannedFile{it.id, it.name, it.desc, static_cast<std::uint32_t>(size),
                                      crc.value(), 0, 0});
    }
    const StreamLayout layout = plan_layout(planned, static_cast<std::uint16_t>(*productType));
    if (layout.total > kMaxPackage) {
        report_error(opt.out,
                     "the package would exceed 2 GiB, the limit of the 32-bit signed "
                     "file positions that readers use");
        return kExitTrouble;
    }

    // Second pass: header, then each sub-file streamed again; a payload that
    // changed since the first pass fails the package.
    install_cleanup_handlers();
    OutputFile out(opt.out, inputs, true);
    if (!out.ok()) {
        report_error(out.name(), out.error());
        return kExitTrouble;
    }
    Progress progress("pack " + opt.out, layout.total);
    ProgressWriter put{out, progress};
    if (!put(layout.header.data(), layout.header.size())) {
        return kExitTrouble;
    }
    for (std::size_t i = 0; i < planned.size(); ++i) {
        if (i == layout.extensionBefore && !put(layout.extension.data(), layout.extension.size())) {
            return kExitTrouble;
        }
        const PlannedFile &f = planned[i];
        const auto binHeader = rerazera::writer::make_bin_header(
            SubFile{f.fileId, f.name, f.desc, {}, 0, 0}, f.size, f.fileId);
        if (!put(binHeader.data(), binHeader.size())) {
            return kExitTrouble;
        }
        Crc16Stream crc;
        // The checksum is taken before the piece is written (update restores
        // the bytes it touches).
        if (!stream_payload(
                items[i].path, f.size, buf,
                [&](std::uint8_t *p, std::size_t n) {
                    crc.update(p, n);
                    return put(p, n);
                },
                items[i].root)) {
            return kExitTrouble;
        }
        if (crc.value() != f.crc) {
            report_error(items[i].path, "changed while it was packed");
            return kExitTrouble;
        }
    }
    if (!out.commit()) {
        report_error(out.name(), out.error());
        return kExitTrouble;
    }
    return kExitOk;
}

}  // namespace

void add_pack(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<PackOptions>();
    CLI::App *cmd = app.add_subcommand("pack", "Build a valid package from payload files");
    cmd->add_option("-o,--output", opt->out, "Package to write, or - for stdout")->required();
    auto *productType =
        cmd->add_option("--product-type", opt->productType,
                        "16-bit product type code (default 0, or the manifest.json's)");
    auto *manifest = cmd->add_option(
        "--manifest", opt->manifest,
        "manifest.json written by unpack, or a file listing 'ID NAME PATH [DESCRIPTION]' per line");
    auto *reflow =
        cmd->add_flag("--reflow", opt->reflow,
                      "With unpack's manifest: place the sub-files tightly, dropping gaps");
    auto *firstId = cmd->add_option("--first-id", opt->firstId,
                                    "ID of the first FILE; the next ones count up (default 1)");
    auto *files = cmd->add_option("files", opt->files,
                                  "Payload files, named after their base names, no description");
    auto *anyPath = cmd->add_flag("--any-path", opt->anyPath,
                                  "Let a manifest name payload files outside its own folder "
                                  "(absolute paths, '..', links leading out)");
    manifest->excludes(files)->excludes(firstId);
    reflow->needs(manifest);
    anyPath->needs(manifest);
    cmd->footer(
        "Up to 256 sub-files go to the header table; more put the first 255 there and "
        "the rest behind an extension. IDs and names must be unique, 0xABEF is reserved, "
        "and the package must stay below 2 GiB; pack exits 2 when its inputs break a rule.");
    cmd->callback([opt, &run, manifest, files, productType] {
        opt->productTypeGiven = productType->count() != 0;
        if (manifest->count() == 0 && files->count() == 0) {
            throw CLI::RequiredError("FILE... or --manifest");
        }
        run = [opt] { return run_pack(*opt); };
    });
}

}  // namespace rztool
