// SPDX-License-Identifier: MIT
// rerazera unpack PKG -C DIR [--force]
//
// Takes a package apart: every sub-file's payload into DIR, named as
// extract --all names them, and DIR/manifest.json with everything else: the
// header's fields, every descriptor and bin header, the extension's dummy
// bin file and table, the bytes the format leaves uninterpreted, and the
// gaps between sub-files. `pack --manifest` puts the package back together
// from them byte for byte.
//
// Each byte goes to exactly one piece, which is what lets pack rebuild the
// file. Entries may describe the same bytes: sorted by offset, longer
// first, an entry becomes the owner of its range unless it lies inside the
// last owner's (it then names that owner and where in it it starts) or
// crosses it, the header or the extension's table (it then keeps its
// descriptor as it stands).
//
// The package is refused (exit 1) when its pieces cannot be told apart:
// a header or extension that fails its check, a sub-file that runs past the
// end of the file, or an owner shorter than its bin header or its payload.
#include <algorithm>
#include <memory>
#include <vector>

#include "manifest.hpp"
#include "outdir.hpp"
#include "output.hpp"
#include "package.hpp"
#include "progress.hpp"
#include "rerazera.h"
#include "tool.hpp"
#include "writer/package_writer.hpp"

namespace rztool {
namespace {

namespace mf = manifest;
using rerazera::writer::crc16;
using rerazera::writer::nonzero_runs;

struct UnpackOptions {
    std::string package;
    std::string dir;
    bool force = false;
};

// A piece of the package: [start, end).
struct Piece {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::string label;
};

constexpr std::uint32_t kNameAt = 244;
constexpr std::uint32_t kDescAt = 116;
constexpr std::size_t kFlushAt = 1u << 20;

mf::Checksum checksum(std::uint32_t stored, std::uint16_t computed) {
    mf::Checksum c{stored, std::nullopt};
    if (stored != computed) {
        c.actual = computed;
    }
    return c;
}

// A record's bytes less the ranges its fields cover, as runs.
std::vector<mf::ByteRun> reserved_runs(
    const std::uint8_t *record, std::size_t size,
    std::initializer_list<std::pair<std::size_t, std::size_t>> fields) {
    std::vector<std::uint8_t> copy(record, record + size);
    for (const auto &[at, len] : fields) {
        std::fill_n(copy.begin() + static_cast<std::ptrdiff_t>(at), len, 0);
    }
    return nonzero_runs(copy.data(), copy.size());
}

// The bin header of entry e; dummy: its fileNum is a field too.
mf::BinRecord read_bin(const PackageView &pkg, const Entry &e, bool dummy) {
    const std::uint32_t descId = e.desc.fileId;
    const std::uint8_t *h = pkg.bytes(e.desc.offset, BIN_HEADER_SIZE);
    const BinInfo info = pkg.bin(e);
    mf::BinRecord b;
    b.name = info.name;
    b.desc = info.desc;
    b.dataLen = info.dataLen;
    if (info.fileId != descId) {
        b.fileId = info.fileId;
    }
    b.headCrc = checksum(be32_at(h + 4), crc16(h + 8, BIN_HEADER_CRC_LEN));
    b.reserved = reserved_runs(h, BIN_HEADER_SIZE,
                               {{4, 8},
                                {16, dummy ? 4 : 0},
                                {kDescAt, b.desc.size()},
                                {kNameAt, b.name.size()},
                                {340, 4}});
    return b;
}

bool all_zero(const PackageView &pkg, std::uint32_t at, std::uint32_t len) {
    const std::uint8_t *p = pkg.bytes(at, len);
    return std::all_of(p, p + len, [](std::uint8_t b) { return b == 0; });
}

class Unpacker {
  public:
    explicit Unpacker(const UnpackOptions &opt) : opt_(opt), pkg_(opt.package) {}

    int run() {
        if (!pkg_.ok()) {
            report_error(opt_.package, pkg_.error());
            return pkg_.status();
        }
        if (!pkg_.header().valid()) {
            return refuse("the package header fails its check");
        }
        if (pkg_.ext().state == ExtState::Invalid) {
            return refuse("the extension cannot be read: " + pkg_.ext().message);
        }
        read_header();
        kept_.reserve(pkg_.entry_count());
        for (std::uint64_t k = 0; k < pkg_.entry_count(); ++k) {
            const Entry e = pkg_.entry(k);
            if (pkg_.is_dummy(e)) {
                dummyAt_ = k;
            }
            const std::string problem = pkg_.is_dummy(e) ? read_extension(e) : read_entry(e);
            if (!problem.empty()) {
                return refuse(entry_label(e) + ": " + problem);
            }
        }
        if (const std::string problem = choose_owners(); !problem.empty()) {
            return refuse(problem);
        }
        if (const std::string problem = find_gaps(); !problem.empty()) {
            return refuse(problem);
        }
        sum_payloads();
        return write_all();
    }

  private:
    int refuse(const std::string &why) {
        report_error(opt_.package, why + "; it cannot be unpacked");
        return kExitFailure;
    }

    void read_header() {
        const HeaderInfo &h = pkg_.header();
        m_.size = pkg_.size();
        m_.fileNum = h.fileNum;
        m_.productType = static_cast<std::uint16_t>(h.productType);
        m_.headerCrc = checksum(h.storedCrc, h.computedCrc);
        m_.headerReserved =
            reserved_runs(pkg_.bytes(0, QVPKG_HEADER_SIZE), QVPKG_HEADER_SIZE,
                          {{4, 4}, {30, 2}, {32, std::size_t{h.fileNum} * 24}, {6176, 4}});
        pieces_.push_back(Piece{0, QVPKG_HEADER_SIZE, "the header"});
    }

    std::string read_extension(const Entry &e) {
        mf::Extension x;
        x.offset = e.desc.offset;
        x.length = e.desc.length;
        x.aux0 = e.desc.aux0;
        x.aux1 = e.desc.aux1;
        x.count = pkg_.ext().count;
        x.bin = read_bin(pkg_, e, true);
        const std::uint32_t tableAt = x.offset + BIN_HEADER_SIZE;
        const std::uint32_t tableSize = QVPKG_2ND_TABLE_SIZE(x.count);
        const std::uint8_t *table = pkg_.bytes(tableAt, tableSize);
        const std::uint32_t crcLen = tableSize - 4;
        x.crc = checksum(e.desc.crc, crc16(table, tableSize));
        x.tableCrc = checksum(be32_at(table + crcLen), crc16(table, crcLen));
        x.tableReserved = reserved_runs(table, 32, {{4, 4}});
        m_.ext = x;
        extEnd_ = std::uint64_t{tableAt} + tableSize;
        pieces_.push_back(Piece{x.offset, extEnd_, "the extension's table"});
        return {};
    }

    std::string read_entry(const Entry &e) {
        const QVFileDesc &d = e.desc;
        if (d.length != 0 && pkg_.bytes(d.offset, d.length) == nullptr) {
            return "offset " + std::to_string(d.offset) + " + length " + std::to_string(d.length) +
                   " runs past the end of the package";
        }
        kept_.emplace_back();
        return {};
    }

    // Entry i of the manifest (the package's entries less the dummy bin file).
    [[nodiscard]] Entry entry(std::uint32_t i) const {
        return pkg_.entry(i < dummyAt_ ? i : std::uint64_t{i} + 1);
    }

    // Entry i's manifest record, from the package and what was kept of it.
    [[nodiscard]] mf::SubFile record(std::uint32_t i) const {
        const Entry e = entry(i);
        const Kept &k = kept_[i];
        mf::SubFile s;
        s.table = e.table;
        s.index = e.index;
        s.fileId = e.desc.fileId;
        s.offset = e.desc.offset;
        s.length = e.desc.length;
        s.crc = mf::Checksum{e.desc.crc, std::nullopt};
        if (k.hasActual) {
            s.crc.actual = k.actualCrc;
        }
        s.aux0 = e.desc.aux0;
        s.aux1 = e.desc.aux1;
        if (k.bytesOf != Kept::kNone) {
            s.bytesOf = k.bytesOf;
            s.at = k.at;
        }
        s.range = k.range;
        if (k.owner != Kept::kNone) {
            s.bin = owners_[k.owner].bin;
            s.file = owners_[k.owner].file;
        }
        return s;
    }

    [[nodiscard]] bool crosses_fixed(std::uint64_t start, std::uint64_t end) const {
        return start < QVPKG_HEADER_SIZE || (m_.ext && start < extEnd_ && end > m_.ext->offset);
    }

    // Sorted by offset, longer first (table order among equals, so the
    // first of identical entries owns them); memory in entries, not bytes.
    std::string choose_owners() {
        struct Span {
            std::uint32_t offset, length, i;
        };
        std::vector<Span> order;
        for (std::uint32_t i = 0; i < kept_.size(); ++i) {
            if (const QVFileDesc d = entry(i).desc; d.length != 0) {
                order.push_back(Span{d.offset, d.length, i});
            }
        }
        std::sort(order.begin(), order.end(), [](const Span &x, const Span &y) {
            if (x.offset != y.offset) {
                return x.offset < y.offset;
            }
            return x.length != y.length ? x.length > y.length : x.i < y.i;
        });
        std::optional<Span> owner;
        std::uint64_t cover = 0;  // where the last owner ends
        for (const Span &s : order) {
            Kept &k = kept_[s.i];
            const std::uint64_t end = std::uint64_t{s.offset} + s.length;
            if (owner && end <= cover) {
                k.bytesOf = owner->i;
                k.at = s.offset - owner->offset;
            } else if (s.offset < cover || crosses_fixed(s.offset, end)) {
                k.range = true;
            } else if (const std::string problem = own(s.i); !problem.empty()) {
                return entry_label(entry(s.i)) + ": " + problem;
            } else {
                owner = s;
                cover = end;
            }
        }
        return {};
    }

    // Entry i holds its bytes: they must be a bin header and its payload.
    std::string own(std::uint32_t i) {
        const Entry e = entry(i);
        if (e.desc.length < BIN_HEADER_SIZE) {
            return "its length " + std::to_string(e.desc.length) + " is shorter than a bin header";
        }
        Owner o{read_bin(pkg_, e, false), {}};
        const std::uint64_t end = std::uint64_t{e.desc.offset} + BIN_HEADER_SIZE + o.bin.dataLen;
        if (end > std::uint64_t{e.desc.offset} + e.desc.length) {
            return "its bin header claims " + std::to_string(o.bin.dataLen) +
                   " payload bytes, more than the sub-file holds";
        }
        payloads_.push_back(Payload{i, e.desc.offset + BIN_HEADER_SIZE});
        pieces_.push_back(Piece{e.desc.offset, end, entry_label(e)});
        payloadBytes_ += o.bin.dataLen;
        kept_[i].owner = static_cast<std::uint32_t>(owners_.size());
        owners_.push_back(std::move(o));
        return {};
    }

    void keep_checksum(std::uint32_t i, std::uint16_t computed) {
        Kept &k = kept_[i];
        k.hasActual = entry(i).desc.crc != computed;
        k.actualCrc = computed;
    }

    // The payloads' checksums, summed only once the owners are known: each
    // byte once, however many entries claim it. An entry identical to its
    // owner has the owner's payload and so its sum.
    void sum_payloads() {
        std::vector<std::uint16_t> sums(owners_.size());
        for (const Payload &p : payloads_) {
            const Owner &o = owners_[kept_[p.entry].owner];
            const std::uint32_t n = o.bin.dataLen;
            sums[kept_[p.entry].owner] = crc16(pkg_.bytes(p.at, n), n);
            keep_checksum(static_cast<std::uint32_t>(p.entry), sums[kept_[p.entry].owner]);
            pkg_.release(p.at, n);
        }
        for (std::uint32_t i = 0; i < kept_.size(); ++i) {
            const Kept &k = kept_[i];
            if (k.bytesOf != Kept::kNone && k.at == 0 &&
                entry(i).desc.length == entry(k.bytesOf).desc.length) {
                keep_checksum(i, sums[kept_[k.bytesOf].owner]);
            }
        }
    }

    // Everything between the pieces (and after the last) is a gap. Owners
    // overlap nothing; the extension's table may still cross the header.
    std::string find_gaps() {
        std::sort(pieces_.begin(), pieces_.end(),
                  [](const Piece &a, const Piece &b) { return a.start < b.start; });
        std::uint64_t at = 0;
        const Piece *previous = nullptr;
        const auto gap = [&](std::uint64_t to) {
            if (to > at) {
                m_.gaps.push_back(mf::Gap{static_cast<std::uint32_t>(at),
                                          static_cast<std::uint32_t>(to - at), ""});
            }
        };
        for (const Piece &p : pieces_) {
            if (p.start < at) {
                return p.label + " overlaps " + previous->label;
            }
            gap(p.start);
            at = p.end;
            previous = &p;
        }
        gap(pkg_.size());
        return {};
    }

    int write_all() {
        if (!make_output_dir(opt_.dir)) {
            return kExitTrouble;
        }
        NameSet used;
        used.claim(mf::kFileName);
        Progress progress("unpack " + opt_.package, payloadBytes_);
        for (mf::Gap &g : m_.gaps) {
            if (!all_zero(pkg_, g.offset, g.length)) {
                g.file = used.claim("gap-" + std::to_string(g.offset) + ".bin");
                if (!write_file(g.file, g.offset, g.length, nullptr)) {
                    return kExitTrouble;
                }
            }
        }
        for (std::uint32_t i = 0; i < kept_.size(); ++i) {
            if (kept_[i].owner == Kept::kNone) {
                continue;
            }
            Owner &o = owners_[kept_[i].owner];
            const Entry e = entry(i);
            progress.clear();  // a note about the name goes on a line of its own
            o.file = entry_file_name(used, e, o.bin.name, opt_.package);
            OutputFile out(join_path(opt_.dir, o.file), {pkg_.identity()}, opt_.force, true);
            if (!out.ok()) {
                report_error(out.name(), out.error());
                return kExitTrouble;
            }
            if (!write_entry(pkg_, e, true, out, &progress)) {
                return kExitTrouble;
            }
        }
        return write_manifest() ? kExitOk : kExitTrouble;
    }

    bool write_file(const std::string &name, std::uint32_t at, std::uint32_t len,
                    Progress *progress) {
        OutputFile out(join_path(opt_.dir, name), {pkg_.identity()}, opt_.force, true);
        if (!out.ok()) {
            report_error(out.name(), out.error());
            return false;
        }
        return write_range(pkg_, at, len, out, progress);
    }

    bool write_manifest() {
        OutputFile out(join_path(opt_.dir, mf::kFileName), {pkg_.identity()}, opt_.force, true);
        if (!out.ok()) {
            report_error(out.name(), out.error());
            return false;
        }
        std::string text = mf::head(m_);
        const auto flush = [&out, &text] {
            if (!out.write(reinterpret_cast<const std::uint8_t *>(text.data()), text.size())) {
                report_error(out.name(), out.error());
                return false;
            }
            text.clear();
            return true;
        };
        for (std::uint32_t i = 0; i < kept_.size(); ++i) {
            text += mf::entry_line(record(i), i + 1 == kept_.size());
            if (text.size() >= kFlushAt && !flush()) {
                return false;
            }
        }
        text += mf::tail();
        if (!flush()) {
            return false;
        }
        if (!out.commit()) {
            report_error(out.name(), out.error());
            return false;
        }
        return true;
    }

    const UnpackOptions &opt_;
    const PackageView pkg_;
    mf::Manifest m_;  // all but the entries, which are written one at a time
    // What each entry needs beyond its descriptor, 16 bytes of it, so that a
    // million entries that share one sub-file cost 16 MB, not a manifest
    // record each; owners alone keep their bin header and file name.
    struct Kept {
        static constexpr std::uint32_t kNone = UINT32_MAX;
        std::uint32_t bytesOf = kNone;  // the owner's position among the entries
        std::uint32_t at = 0;
        std::uint32_t owner = kNone;  // in owners_
        std::uint16_t actualCrc = 0;
        bool hasActual = false;
        bool range = false;
    };
    struct Owner {
        mf::BinRecord bin;
        std::string file;
    };
    std::vector<Kept> kept_;
    std::vector<Owner> owners_;
    std::uint64_t dummyAt_ = UINT64_MAX;  // the dummy bin file's position among the package's
    std::vector<Piece> pieces_;
    std::uint64_t extEnd_ = 0;  // of the extension's table
    struct Payload {
        std::size_t entry;  // in kept_
        std::uint32_t at;
    };
    std::vector<Payload> payloads_;
    std::uint64_t payloadBytes_ = 0;
};

}  // namespace

void add_unpack(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<UnpackOptions>();
    CLI::App *cmd = app.add_subcommand(
        "unpack", "Write every payload and a manifest.json that pack --manifest rebuilds from");
    cmd->add_option("package", opt->package, "Package file")->required();
    cmd->add_option("-C,--directory", opt->dir, "Directory to write into (created if missing)")
        ->required();
    cmd->add_flag("--force", opt->force, "Replace existing files in the directory");
    cmd->footer(
        "Payloads are named after their bin headers as extract --all names them; the manifest "
        "keeps the original names and everything else needed to rebuild the same bytes; entries "
        "that share bytes name the entry that holds them. A package whose header or extension "
        "fails its check, or whose sub-files run past their bounds, is refused (exit 1).");
    cmd->callback([opt, &run] {
        run = [opt] {
            install_cleanup_handlers();
            return Unpacker(*opt).run();
        };
    });
}

}  // namespace rztool
