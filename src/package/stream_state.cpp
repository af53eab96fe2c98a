// SPDX-License-Identifier: MIT
// Checkpoints of a stream verifier: everything it keeps, in a versioned blob
// with a checksum, from which a new verifier continues at the same offset.
//
//   "RZSTREAM" | version (u32) | body length (u64) | FNV-1a 64 of body | body
//
// The body holds the offset, the running CRC, the kept header, dummy bin
// header and second table bytes, and each entry's phase, sums and held bin
// header. The event heap and capture list are rebuilt from the phases.
// All fields are little-endian.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "format/big_endian.hpp"
#include "format/crc.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"
#include "package/log_sink.hpp"
#include "package/stream.hpp"
#include "reader/extension_checks.hpp"
#include "reader/header.hpp"

namespace rerazera::stream {
namespace {

constexpr char kMagic[8] = {'R', 'Z', 'S', 'T', 'R', 'E', 'A', 'M'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kPrefix = 8 + 4 + 8 + 8;
constexpr std::uint32_t kBin = layout::bin::kSize;

std::uint64_t fnv1a(const std::uint8_t *p, std::size_t n) noexcept {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (std::size_t i = 0; i < n; ++i) {
        h = (h ^ p[i]) * 0x100000001b3u;
    }
    return h;
}

class Writer {
  public:
    explicit Writer(Array<std::uint8_t> &out) noexcept : out_(out) {}
    void bytes(const void *p, std::size_t n) noexcept {
        const std::size_t at = out_.size();
        if (!ok_ || !out_.resize(at + n)) {
            ok_ = false;
            return;
        }
        if (n == 0) {
            return;  // p may be null: an empty table
        }
        std::memcpy(out_.data() + at, p, n);
    }
    void u(std::uint64_t v, int width) noexcept {
        std::uint8_t b[8];
        for (int i = 0; i < width; ++i) {
            b[i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
        bytes(b, static_cast<std::size_t>(width));
    }
    [[nodiscard]] bool ok() const noexcept { return ok_; }

  private:
    Array<std::uint8_t> &out_;
    bool ok_ = true;
};

class Reader {
  public:
    Reader(const std::uint8_t *p, std::size_t n) noexcept : p_(p), n_(n) {}
    bool bytes(void *out, std::size_t n) noexcept {
        if (n > n_ - at_) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        std::memcpy(out, p_ + at_, n);
        at_ += n;
        return true;
    }
    bool u(std::uint64_t *v, int width) noexcept {
        std::uint8_t b[8];
        if (!bytes(b, static_cast<std::size_t>(width))) {
            return false;
        }
        *v = 0;
        for (int i = 0; i < width; ++i) {
            *v |= std::uint64_t{b[i]} << (8 * i);
        }
        return true;
    }
    [[nodiscard]] bool done() const noexcept { return at_ == n_; }

  private:
    const std::uint8_t *p_;
    std::size_t n_;
    std::size_t at_ = 0;
};

}  // namespace

std::int32_t Verifier::save(void **state, std::size_t *stateLen) const noexcept {
    // Sized exactly first: a blob with a full second table is tens of MiB.
    std::size_t heldCount = 0;
    for (std::size_t id = 0; id < entries_.size(); ++id) {
        heldCount += entries_[id].slot != UINT32_MAX ? 1 : 0;
    }
    Array<std::uint8_t> blob;
    if (!blob.reserve(kPrefix + 8 + 2 + 1 + 2 + sizeof header_ + sizeof dummy_ + 4 + table_.size() +
                      4 + entries_.size() * 9 + heldCount * kBin + 8)) {
        return RERAZERA_ERR_NO_MEMORY;
    }
    Writer w(blob);
    w.bytes(kMagic, sizeof kMagic);
    w.u(kVersion, 4);
    w.u(0, 8);
    w.u(0, 8);
    w.u(pos_, 8);
    w.u(crc_, 2);
    w.u(tooLarge_ ? 1u : 0u, 1);
    w.u(tableCrc_, 2);
    w.bytes(header_, sizeof header_);
    w.bytes(dummy_, sizeof dummy_);
    w.u(table_.size(), 4);
    w.bytes(table_.data(), table_.size());
    w.u(entries_.size(), 4);
    for (std::size_t id = 0; id < entries_.size(); ++id) {
        const EntryState &e = entries_[id];
        const bool held = e.slot != UINT32_MAX;
        w.u(e.phase, 1);
        w.u(e.reason, 1);
        w.u(e.computed, 1);
        w.u(e.headOk, 1);
        w.u(e.payloadStart, 2);
        w.u(e.payloadCrc, 2);
        w.u(held ? 1 : 0, 1);
        if (held) {
            w.bytes(slot_bytes(e.slot), kBin);
        }
    }
    w.u(pendingCount_, 8);
    if (!w.ok()) {
        return RERAZERA_ERR_NO_MEMORY;
    }
    const std::size_t body = blob.size() - kPrefix;
    const std::uint64_t sum = fnv1a(blob.data() + kPrefix, body);
    for (int i = 0; i < 8; ++i) {
        blob[12 + i] = static_cast<std::uint8_t>(std::uint64_t{body} >> (8 * i));
        blob[20 + i] = static_cast<std::uint8_t>(sum >> (8 * i));
    }
    *stateLen = blob.size();
    *state = blob.take();
    return RERAZERA_OK;
}

std::int32_t Verifier::load(const std::uint8_t *state, std::size_t stateLen) noexcept {
    Reader r(state, stateLen);
    char magic[8];
    std::uint64_t version = 0;
    std::uint64_t body = 0;
    std::uint64_t sum = 0;
    if (!r.bytes(magic, 8) || std::memcmp(magic, kMagic, 8) != 0 || !r.u(&version, 4) ||
        version != kVersion || !r.u(&body, 8) || !r.u(&sum, 8) || body != stateLen - kPrefix ||
        fnv1a(state + kPrefix, stateLen - kPrefix) != sum) {
        return RERAZERA_ERR_BAD_STATE;
    }
    std::uint64_t v = 0;
    std::uint64_t flags = 0;
    if (!r.u(&pos_, 8) || pos_ > kMaxStream || !r.u(&v, 2) || !r.u(&flags, 1)) {
        return RERAZERA_ERR_BAD_STATE;
    }
    crc_ = static_cast<std::uint16_t>(v);
    tooLarge_ = (flags & 1u) != 0;
    std::uint64_t tableLen = 0;
    if (!r.u(&v, 2) || !r.bytes(header_, sizeof header_) || !r.bytes(dummy_, sizeof dummy_) ||
        !r.u(&tableLen, 4) || tableLen > layout::table::size(layout::table::kMaxFileNum) ||
        !table_.resize(tableLen) || !r.bytes(table_.data(), tableLen)) {
        return RERAZERA_ERR_BAD_STATE;
    }
    // The verdicts on the kept bytes are taken again from the bytes, so that
    // a blob cannot claim a state its bytes do not have.
    char scratch[layout::kMsgBufLen];
    const ScopedLogSink quiet(nullptr, nullptr);
    headerOk_ = pos_ >= layout::header::kSize && check_header(header_) == QVPKG_OK;
    const std::uint32_t n = pos_ >= layout::header::kSize
                                ? std::min(HeaderView(header_).file_num(), kHeaderEntries)
                                : 0;
    const std::uint32_t extN = BinHeaderView(dummy_).file_num();
    const std::uint64_t dummyAt = has_extension() ? HeaderView(header_).desc(255).offset : 0;
    const std::uint64_t tableAt = dummyAt + kBin;
    dummyOk_ =
        has_extension() && tableAt <= pos_ &&
        check_dummy_bin(HeaderView(header_).desc(255), dummy_, scratch, sizeof scratch) == QVPKG_OK;
    const std::uint64_t tableSize = dummyOk_ ? layout::table::size(extN) : 0;
    tableDone_ = dummyOk_ && tableAt + tableSize <= pos_;
    if (tableLen != (dummyOk_ ? std::min(pos_ - tableAt, tableSize) : 0)) {
        return RERAZERA_ERR_BAD_STATE;
    }
    if (tableDone_) {
        const auto crcLen = static_cast<std::size_t>(layout::table::crc_len(extN));
        tableCrc_ = crc16(table_.data(), crcLen);
        tableOk_ = judge_second_table(extN, load_be32(table_.data() + layout::table::kFileNum),
                                      tableCrc_, load_be32(table_.data() + crcLen), scratch,
                                      sizeof scratch) == QVPKG_OK;
    }
    std::uint64_t count = 0;
    if (!r.u(&count, 4) || count != n + (tableOk_ ? extN : 0) || !entries_.resize(count)) {
        return RERAZERA_ERR_BAD_STATE;
    }
    for (std::size_t id = 0; id < count; ++id) {
        EntryState &e = entries_[id];
        std::uint64_t f[7];
        const int widths[7] = {1, 1, 1, 1, 2, 2, 1};
        for (int k = 0; k < 7; ++k) {
            if (!r.u(&f[k], widths[k])) {
                return RERAZERA_ERR_BAD_STATE;
            }
        }
        e.phase = static_cast<std::uint8_t>(f[0]);
        e.reason = static_cast<std::uint8_t>(f[1]);
        e.computed = static_cast<std::uint8_t>(f[2]);
        e.headOk = static_cast<std::uint8_t>(f[3]);
        e.payloadStart = static_cast<std::uint16_t>(f[4]);
        e.payloadCrc = static_cast<std::uint16_t>(f[5]);
        e.slot = UINT32_MAX;
        const bool needsSlot = e.phase == kCapture || e.phase == kWaitPayload;
        if (e.phase > kPending || f[1] > RERAZERA_REASON_PAYLOAD_CRC || f[6] > 1 ||
            (needsSlot && f[6] == 0)) {
            return RERAZERA_ERR_BAD_STATE;
        }
        if (f[6] == 1) {
            if (!take_slot(&e.slot) || !r.bytes(slot_bytes(e.slot), kBin)) {
                return RERAZERA_ERR_BAD_STATE;
            }
        }
    }
    if (!r.u(&pendingCount_, 8) || !r.done() || !rebuild()) {
        return RERAZERA_ERR_BAD_STATE;
    }
    return RERAZERA_OK;
}

bool Verifier::rebuild() noexcept {
    std::uint64_t pending = 0;
    for (std::uint32_t id = 0; id < entry_count(); ++id) {
        const EntryState &e = entries_[id];
        const QVFileDesc d = desc(id);
        const std::uint64_t off = d.offset;
        std::uint64_t next = 0;
        switch (e.phase) {
            case kWaitStart:
                next = off;
                break;
            case kCapture:
                next = off + kBin;
                if (!capturing_.push(id)) {
                    return false;
                }
                break;
            case kWaitPayload:
                next = off + kBin + BinHeaderView(slot_bytes(e.slot)).data_len();
                break;
            case kWaitEnd:
                next = off + d.length;
                break;
            case kPending:
                ++pending;
                continue;
            default:
                continue;
        }
        if (next <= pos_) {
            return false;  // an event that should have run already
        }
        schedule(next, id);
    }
    if (has_extension()) {
        const std::uint64_t at = HeaderView(header_).desc(255).offset;
        if (at + kBin > pos_) {
            schedule(at + kBin, kDummyEvent);
        } else if (dummyOk_ && !tableDone_) {
            schedule(at + kBin + layout::table::size(BinHeaderView(dummy_).file_num()),
                     kTableEvent);
        }
    }
    return pending == pendingCount_ && !noMemory_;
}

}  // namespace rerazera::stream
