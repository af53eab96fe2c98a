// SPDX-License-Identifier: MIT
#include "package/stream.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "format/big_endian.hpp"
#include "format/crc.hpp"
#include "format/crc_combine.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"
#include "package/descriptor_fields.hpp"
#include "package/log_sink.hpp"
#include "reader/extension_checks.hpp"
#include "reader/header.hpp"

namespace rerazera::stream {

template <typename T>
Array<T>::~Array() {
    std::free(data_);
}

template <typename T>
bool Array<T>::reserve(std::size_t n) noexcept {
    if (n <= capacity_) {
        return true;
    }
    auto *p = static_cast<T *>(std::realloc(data_, n * sizeof(T)));
    if (p == nullptr) {
        return false;
    }
    data_ = p;
    capacity_ = n;
    return true;
}

template <typename T>
bool Array<T>::push(const T &v) noexcept {
    if (size_ == capacity_ && !reserve(capacity_ < 16 ? 16 : capacity_ * 2)) {
        return false;
    }
    data_[size_++] = v;
    return true;
}

template <typename T>
bool Array<T>::resize(std::size_t n) noexcept {
    if (n > capacity_ && !reserve(std::max(n, capacity_ * 2))) {
        return false;
    }
    for (std::size_t i = size_; i < n; ++i) {
        data_[i] = T{};
    }
    size_ = n;
    return true;
}

template <typename T>
void Array<T>::release() noexcept {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

template class Array<std::uint8_t>;
template class Array<std::uint32_t>;
template class Array<std::uint64_t>;
template class Array<EntryState>;

namespace {

constexpr std::uint64_t kHeaderSize = layout::header::kSize;
constexpr std::uint32_t kBin = layout::bin::kSize;
constexpr int kIdBits = 22;

constexpr std::uint64_t heap_key(std::uint64_t pos, std::uint32_t id) noexcept {
    return (pos << kIdBits) | id;
}
constexpr std::uint64_t key_pos(std::uint64_t key) noexcept {
    return key >> kIdBits;
}
constexpr std::uint32_t key_id(std::uint64_t key) noexcept {
    return static_cast<std::uint32_t>(key & ((1u << kIdBits) - 1));
}

// The overlap of [a, a + an) and [b, b + bn), as [*from, *to).
bool overlap(std::uint64_t a, std::uint64_t an, std::uint64_t b, std::uint64_t bn,
             std::uint64_t *from, std::uint64_t *to) noexcept {
    *from = std::max(a, b);
    *to = std::min(a + an, b + bn);
    return *from < *to;
}

void copy_text(const std::uint8_t *field, std::size_t width, char *out, std::uint32_t *len) {
    std::size_t n = 0;
    while (n < width && field[n] != 0) {
        ++n;
    }
    std::memcpy(out, field, n);
    out[n] = '\0';
    *len = static_cast<std::uint32_t>(n);
}

}  // namespace

Verifier::Verifier(const rerazera_stream_options *options) noexcept {
    if (options != nullptr) {
        options_ = *options;
    }
}

QVFileDesc Verifier::desc(std::uint32_t id) const noexcept {
    if (id < kHeaderEntries) {
        return HeaderView(header_).desc(id);
    }
    return decode_desc(table_.data() + layout::table::kFileDesc +
                       std::size_t{id - kHeaderEntries} * layout::desc::kSize);
}

std::uint32_t Verifier::entry_count() const noexcept {
    return static_cast<std::uint32_t>(entries_.size());
}

bool Verifier::has_extension() const noexcept {
    // Decided as the per-entry report decides it, whether or not the header
    // passed its check: the verdict consults it only once the header did.
    const HeaderView header(header_);
    return pos_ >= kHeaderSize && header.file_num() == layout::header::kMaxFileNum &&
           header.desc_file_id(layout::header::kExtEntryIndex) == layout::kDummyDescFileId;
}

bool Verifier::copy_kept(std::uint64_t from, std::size_t n, std::uint8_t *out) const noexcept {
    const std::uint64_t end = from + n;
    if (end > pos_) {
        return false;
    }
    const std::uint64_t dummyAt = has_extension() ? HeaderView(header_).desc(255).offset : 0;
    const std::uint64_t tableAt = dummyAt + kBin;
    for (std::uint64_t x = from; x < end;) {
        const auto want = end - x;
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        if (x < kHeaderSize) {
            b = std::min(end, kHeaderSize);
            std::memcpy(out + (x - from), header_ + x, b - x);
        } else if (has_extension() && overlap(x, want, dummyAt, kBin, &a, &b) && a == x) {
            std::memcpy(out + (x - from), dummy_ + (x - dummyAt), b - x);
        } else if (dummyOk_ && overlap(x, want, tableAt, table_.size(), &a, &b) && a == x) {
            std::memcpy(out + (x - from), table_.data() + (x - tableAt), b - x);
        } else {
            return false;
        }
        x = b;
    }
    return true;
}

bool Verifier::crc_at(std::uint64_t x, std::uint16_t *out) const noexcept {
    if (x == pos_) {
        *out = crc_;
        return true;
    }
    // Callers ask only for offsets already fed (x <= pos_); those inside the
    // header are summed again from the copy kept of it.
    if (x <= kHeaderSize) {
        *out = crc16(header_, static_cast<std::size_t>(x));
        return true;
    }
    return false;
}

bool Verifier::take_slot(std::uint32_t *slot) noexcept {
    if (freeSlots_.size() > 0) {
        *slot = freeSlots_[freeSlots_.size() - 1];
        freeSlots_.pop();
        return true;
    }
    if (slotCount_ >= kMaxSlots) {
        return false;
    }
    if (!slots_.resize(std::size_t{slotCount_ + 1} * kBin)) {
        noMemory_ = true;
        return false;
    }
    *slot = slotCount_++;
    return true;
}

void Verifier::free_slot(std::uint32_t slot) noexcept {
    if (!freeSlots_.push(slot)) {
        noMemory_ = true;
    }
}

void Verifier::schedule(std::uint64_t pos, std::uint32_t id) noexcept {
    if (pos > kMaxStream) {
        return;  // never reached: settled as out of bounds by finish()
    }
    if (!heap_.push(heap_key(pos, id))) {
        noMemory_ = true;
        return;
    }
    std::push_heap(heap_.data(), heap_.data() + heap_.size(), std::greater<>{});
}

void Verifier::make_pending(std::uint32_t id) noexcept {
    EntryState &e = entries_[id];
    if (e.slot != UINT32_MAX) {
        free_slot(e.slot);
        e.slot = UINT32_MAX;
    }
    e.phase = kPending;
    ++pendingCount_;
}

void Verifier::advance(std::uint32_t id) noexcept {
    const QVFileDesc d = desc(id);
    const std::uint64_t off = d.offset;
    for (;;) {
        EntryState &e = entries_[id];
        switch (e.phase) {
            case kWaitStart:
                if (d.length < kBin) {
                    e.reason = d.length == 0 ? RERAZERA_REASON_EMPTY : RERAZERA_REASON_TOO_SHORT;
                    e.phase = kWaitEnd;
                    break;
                }
                if (off > pos_) {
                    schedule(off, id);
                    return;
                }
                if (!take_slot(&e.slot)) {
                    e.slot = UINT32_MAX;
                    make_pending(id);
                    return;
                }
                if (!copy_kept(off,
                               static_cast<std::size_t>(std::min<std::uint64_t>(pos_ - off, kBin)),
                               slot_bytes(e.slot))) {
                    make_pending(id);
                    return;
                }
                e.phase = kCapture;
                if (off + kBin > pos_) {
                    if (!capturing_.push(id)) {
                        noMemory_ = true;
                    }
                    schedule(off + kBin, id);
                    return;
                }
                break;
            case kCapture: {
                const BinHeaderView bin(slot_bytes(e.slot));
                const std::uint16_t head =
                    crc16(bin.bytes() + layout::bin::kCrcStart, layout::bin::kCrcLen);
                e.computed |= RERAZERA_REPORT_HEAD_CRC;
                e.headOk = crc_word_matches(bin.head_crc(), head) ? 1 : 0;
                if (e.headOk == 0) {
                    e.reason = RERAZERA_REASON_HEADER_CRC;
                    e.phase = kWaitEnd;
                } else if (std::uint64_t{kBin} + bin.data_len() > d.length) {
                    e.reason = RERAZERA_REASON_PAYLOAD_OVERRUN;
                    e.phase = kWaitEnd;
                } else if (!crc_at(off + kBin, &e.payloadStart)) {
                    make_pending(id);
                    return;
                } else {
                    e.phase = kWaitPayload;
                }
                break;
            }
            case kWaitPayload: {
                const std::uint32_t dataLen = BinHeaderView(slot_bytes(e.slot)).data_len();
                const std::uint64_t end = off + kBin + dataLen;
                if (end > pos_) {
                    schedule(end, id);
                    return;
                }
                std::uint16_t after = 0;
                if (!crc_at(end, &after)) {
                    make_pending(id);
                    return;
                }
                e.payloadCrc = crc16_between(e.payloadStart, after, dataLen);
                e.computed |= RERAZERA_REPORT_CRC;
                e.reason = crc_word_matches(d.crc, e.payloadCrc) ? RERAZERA_REASON_OK
                                                                 : RERAZERA_REASON_PAYLOAD_CRC;
                e.phase = kWaitEnd;
                break;
            }
            case kWaitEnd:
                if (off + d.length > pos_) {
                    schedule(off + d.length, id);
                    return;
                }
                settle(id);
                return;
            default:
                return;
        }
    }
}

void Verifier::fill_report(std::uint32_t id, const std::uint8_t *bin,
                           rerazera_entry_report *report) const noexcept {
    std::memset(report, 0, sizeof *report);
    rerazera_entry &entry = report->entry;
    const QVFileDesc d = desc(id);
    entry.table = id < kHeaderEntries ? RERAZERA_TABLE_HEADER : RERAZERA_TABLE_EXTENSION;
    entry.index = id < kHeaderEntries ? id : id - kHeaderEntries;
    package::set_descriptor(entry, d);
    if (id == layout::header::kExtEntryIndex && has_extension()) {
        entry.flags |= RERAZERA_ENTRY_DUMMY;
    }
    if (bin != nullptr) {
        const BinHeaderView view(bin);
        entry.flags |= RERAZERA_ENTRY_BIN_HEADER;
        entry.data_len = view.data_len();
        entry.bin_file_id = view.file_id();
        copy_text(bin + layout::bin::kName, layout::bin::kNameSize, entry.name, &entry.name_len);
        copy_text(bin + layout::bin::kDesc, layout::bin::kDescSize, entry.description,
                  &entry.description_len);
        report->head_crc_stored = view.head_crc();
        report->head_crc_computed = crc16(bin + layout::bin::kCrcStart, layout::bin::kCrcLen);
    }
    const EntryState &e = entries_[id];
    report->reason = e.reason;
    report->ok = e.reason == RERAZERA_REASON_OK || e.reason == RERAZERA_REASON_EMPTY ? 1 : 0;
    report->computed = e.computed;
    if ((e.computed & RERAZERA_REPORT_HEAD_CRC) == 0) {
        report->head_crc_stored = 0;
        report->head_crc_computed = 0;
    }
    report->crc_stored = d.crc;
    if ((e.computed & RERAZERA_REPORT_CRC) != 0) {
        report->crc_computed = e.payloadCrc;
    }
}

void Verifier::emit(const rerazera_entry_report &report) noexcept {
    if (options_.on_entry != nullptr && options_.on_entry(options_.ctx, &report) != 0) {
        stopped_ = true;
    }
}

void Verifier::settle(std::uint32_t id) noexcept {
    EntryState &e = entries_[id];
    rerazera_entry_report report;
    fill_report(id, e.slot != UINT32_MAX ? slot_bytes(e.slot) : nullptr, &report);
    if (e.slot != UINT32_MAX) {
        free_slot(e.slot);
        e.slot = UINT32_MAX;
    }
    e.phase = kSettled;
    emit(report);
}

void Verifier::on_header() noexcept {
    {
        const ScopedLogSink quiet(nullptr, nullptr);  // finish() logs the verdict's reasons
        headerOk_ = check_header(header_) == QVPKG_OK;
    }
    // Entries are followed even under a refused header, so that each gets
    // the report a handle over the same bytes gives it.
    const std::uint32_t n = std::min(HeaderView(header_).file_num(), kHeaderEntries);
    if (!entries_.resize(n) || !heap_.reserve(n + 2)) {
        noMemory_ = true;
        return;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        entries_[i].phase = kWaitStart;
    }
    if (has_extension()) {
        const std::uint64_t at = HeaderView(header_).desc(255).offset;
        if (at < pos_) {
            (void)copy_kept(at, static_cast<std::size_t>(std::min<std::uint64_t>(pos_ - at, kBin)),
                            dummy_);
        }
        if (at + kBin <= pos_) {
            on_dummy();
        } else {
            schedule(at + kBin, kDummyEvent);
        }
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        advance(i);
    }
}

void Verifier::on_dummy() noexcept {
    char scratch[layout::kMsgBufLen];
    {
        const ScopedLogSink quiet(nullptr, nullptr);
        dummyOk_ = check_dummy_bin(HeaderView(header_).desc(255), dummy_, scratch,
                                   sizeof scratch) == QVPKG_OK;
    }
    if (!dummyOk_) {
        return;
    }
    const std::uint64_t at = std::uint64_t{HeaderView(header_).desc(255).offset} + kBin;
    const std::uint64_t size = layout::table::size(BinHeaderView(dummy_).file_num());
    // Its size is bounded by the dummy bin check; it is held whole, once.
    if (!table_.reserve(static_cast<std::size_t>(size))) {
        noMemory_ = true;
        return;
    }
    if (at < pos_) {
        // Only when the table starts inside the header: the rest is kept.
        const auto have = static_cast<std::size_t>(std::min(pos_ - at, size));
        if (!table_.resize(have)) {
            noMemory_ = true;
            return;
        }
        (void)copy_kept(at, have, table_.data());
    }
    if (at + size <= pos_) {
        on_table();
    } else {
        schedule(at + size, kTableEvent);
    }
}

void Verifier::on_table() noexcept {
    tableDone_ = true;
    const std::uint32_t n = BinHeaderView(dummy_).file_num();
    const auto crcLen = static_cast<std::size_t>(layout::table::crc_len(n));
    tableCrc_ = crc16(table_.data(), crcLen);
    char scratch[layout::kMsgBufLen];
    tableOk_ =
        judge_second_table(n, load_be32(table_.data() + layout::table::kFileNum), tableCrc_,
                           load_be32(table_.data() + crcLen), scratch, sizeof scratch) == QVPKG_OK;
    if (!tableOk_) {
        return;
    }
    const std::size_t first = entries_.size();
    if (!entries_.resize(kHeaderEntries + std::size_t{n}) ||
        !capturing_.reserve(std::min<std::size_t>(kMaxSlots, entries_.size())) ||
        !heap_.reserve(heap_.size() + n)) {
        noMemory_ = true;
        return;
    }
    for (std::size_t id = first; id < entries_.size(); ++id) {
        entries_[id].phase = kWaitStart;
        advance(static_cast<std::uint32_t>(id));
    }
}

void Verifier::run_events() noexcept {
    while (heap_.size() > 0 && key_pos(heap_[0]) <= pos_) {
        const std::uint32_t id = key_id(heap_[0]);
        std::pop_heap(heap_.data(), heap_.data() + heap_.size(), std::greater<>{});
        heap_.pop();
        if (id == kDummyEvent) {
            on_dummy();
        } else if (id == kTableEvent) {
            on_table();
        } else {
            advance(id);
        }
    }
}

std::int32_t Verifier::feed(const std::uint8_t *data, std::size_t len) noexcept {
    while (len > 0) {
        if (pos_ >= kMaxStream) {
            tooLarge_ = true;
            return RERAZERA_ERR_TOO_LARGE;
        }
        std::uint64_t seg = std::min<std::uint64_t>(len, kMaxStream - pos_);
        if (pos_ < kHeaderSize) {
            seg = std::min(seg, kHeaderSize - pos_);
            std::memcpy(header_ + pos_, data, static_cast<std::size_t>(seg));
        } else if (heap_.size() > 0) {
            seg = std::min(seg, key_pos(heap_[0]) - pos_);
        }
        const auto n = static_cast<std::size_t>(seg);
        crc_ = crc16_update(crc_, data, n);
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        // Bin headers being captured; entries that moved on drop out.
        std::size_t kept = 0;
        for (std::size_t i = 0; i < capturing_.size(); ++i) {
            const std::uint32_t id = capturing_[i];
            if (entries_[id].phase != kCapture) {
                continue;
            }
            const std::uint64_t off = desc(id).offset;
            if (overlap(pos_, seg, off, kBin, &a, &b)) {
                std::memcpy(slot_bytes(entries_[id].slot) + (a - off), data + (a - pos_), b - a);
            }
            capturing_[kept++] = id;
        }
        (void)capturing_.resize(kept);
        if (pos_ >= kHeaderSize && has_extension()) {  // before: on_header() copies it
            const std::uint64_t at = HeaderView(header_).desc(255).offset;
            if (overlap(pos_, seg, at, kBin, &a, &b)) {
                std::memcpy(dummy_ + (a - at), data + (a - pos_), b - a);
            }
            if (dummyOk_ && !tableDone_ &&
                overlap(pos_, seg, at + kBin, layout::table::size(BinHeaderView(dummy_).file_num()),
                        &a, &b)) {
                const std::size_t have = table_.size();
                if (!table_.resize(have + (b - a))) {
                    return RERAZERA_ERR_NO_MEMORY;
                }
                std::memcpy(table_.data() + have, data + (a - pos_), b - a);
            }
        }
        pos_ += seg;
        data += n;
        len -= n;
        if (pos_ == kHeaderSize) {
            on_header();
        }
        run_events();
        if (noMemory_) {
            return RERAZERA_ERR_NO_MEMORY;
        }
        if (stopped_) {
            stopped_ = false;
            return RERAZERA_ERR_STOPPED;
        }
    }
    return RERAZERA_OK;
}

}  // namespace rerazera::stream
