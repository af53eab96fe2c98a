// SPDX-License-Identifier: MIT
// The streaming verifier behind rerazera_stream_*.
//
// Bytes arrive once, in order. The verifier keeps the 6180-byte header, the
// dummy bin header and the second table (which name the entries), the bin
// header of each entry whose bytes are passing, and for every entry the
// running CRC of the stream where its payload starts and where it ends: the
// CRC of any range follows from the running CRC at its two ends, so no
// payload byte is kept and overlapping entries cost nothing extra.
//
// Each entry waits for its next position of interest in one min-heap keyed
// by (position, entry id): its start (the bin header begins), its bin
// header's end, its payload's end, its own end (the report goes out).
// Positions that went by before the entry was known are served from the
// kept header bytes; an entry that needs others is left for a second pass
// over a seekable descriptor at finish().
#pragma once

#include <cstddef>
#include <cstdint>

#include "rerazera.h"
#include "rerazera/package.h"

namespace rerazera::stream {

// Entry ids: 0..255 the header's table, 256 + j extend subfile j.
inline constexpr std::uint32_t kHeaderEntries = 256;
inline constexpr std::uint32_t kDummyEvent = (1u << 22) - 2;  // the dummy bin header is complete
inline constexpr std::uint32_t kTableEvent = (1u << 22) - 1;  // the second table is complete
// Bin headers held at once; an entry starting while all are taken waits for
// the second pass. 16,384 of them are under 6 MiB.
inline constexpr std::uint32_t kMaxSlots = 16384;
inline constexpr std::uint64_t kMaxStream = INT32_MAX;

// What an entry waits for next.
enum Phase : std::uint8_t {
    kWaitStart = 0,    // its first byte
    kCapture = 1,      // the rest of its bin header
    kWaitPayload = 2,  // the end of its payload
    kWaitEnd = 3,      // its last byte
    kSettled = 4,      // reported
    kPending = 5,      // needs a second pass
    kUnused = 6        // never registered (the header failed, or past the table)
};

struct EntryState {
    std::uint32_t slot = UINT32_MAX;  // bin header bytes, while held
    std::uint16_t payloadStart = 0;   // running CRC where the payload starts
    std::uint16_t payloadCrc = 0;     // the payload's CRC, once its end passed
    std::uint8_t phase = kUnused;
    std::uint8_t reason = 0;    // rerazera_reason, once settled
    std::uint8_t computed = 0;  // RERAZERA_REPORT_*
    std::uint8_t headOk = 0;    // the bin header's checksum held
};

// A growable malloc() array of trivially copyable T.
template <typename T>
class Array {
  public:
    Array() noexcept = default;
    Array(const Array &) = delete;
    Array &operator=(const Array &) = delete;
    ~Array();
    [[nodiscard]] bool reserve(std::size_t n) noexcept;
    [[nodiscard]] bool push(const T &v) noexcept;
    [[nodiscard]] bool resize(std::size_t n) noexcept;  // new elements value-initialised
    void clear() noexcept { size_ = 0; }
    void release() noexcept;
    // Hands the malloc() buffer over to the caller; the array is left empty.
    T *take() noexcept {
        T *p = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return p;
    }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    T *data() noexcept { return data_; }
    const T *data() const noexcept { return data_; }
    T &operator[](std::size_t i) noexcept { return data_[i]; }
    const T &operator[](std::size_t i) const noexcept { return data_[i]; }
    void pop() noexcept { --size_; }

  private:
    T *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

class Verifier {
  public:
    explicit Verifier(const rerazera_stream_options *options) noexcept;

    std::int32_t feed(const std::uint8_t *data, std::size_t len) noexcept;
    std::int32_t finish(int seekFd, char *msg, std::size_t msgSize,
                        std::int32_t *qvpkgResult) noexcept;
    [[nodiscard]] std::uint64_t offset() const noexcept { return pos_; }
    [[nodiscard]] std::uint64_t pending() const noexcept { return pendingCount_; }
    [[nodiscard]] bool finished() const noexcept { return finished_; }

    // Checkpoints (stream_state.cpp).
    std::int32_t save(void **state, std::size_t *stateLen) const noexcept;
    std::int32_t load(const std::uint8_t *state, std::size_t stateLen) noexcept;

  private:
    // The descriptor of an entry id.
    [[nodiscard]] QVFileDesc desc(std::uint32_t id) const noexcept;
    [[nodiscard]] std::uint32_t entry_count() const noexcept;
    [[nodiscard]] bool has_extension() const noexcept;

    void on_header() noexcept;
    void on_dummy() noexcept;
    void on_table() noexcept;
    // Moves an entry on from its phase as far as the bytes fed allow.
    void advance(std::uint32_t id) noexcept;
    void schedule(std::uint64_t pos, std::uint32_t id) noexcept;
    void settle(std::uint32_t id) noexcept;
    void make_pending(std::uint32_t id) noexcept;
    void run_events() noexcept;
    // Copies [from, from + n) from the bytes kept; false if any is not kept.
    bool copy_kept(std::uint64_t from, std::size_t n, std::uint8_t *out) const noexcept;
    // The running CRC at x <= pos_, when it can still be had.
    bool crc_at(std::uint64_t x, std::uint16_t *out) const noexcept;
    void fill_report(std::uint32_t id, const std::uint8_t *bin,
                     rerazera_entry_report *report) const noexcept;
    void emit(const rerazera_entry_report &report) noexcept;
    std::uint8_t *slot_bytes(std::uint32_t slot) noexcept {
        return slots_.data() + std::size_t{slot} * 352;
    }
    const std::uint8_t *slot_bytes(std::uint32_t slot) const noexcept {
        return slots_.data() + std::size_t{slot} * 352;
    }
    bool take_slot(std::uint32_t *slot) noexcept;
    void free_slot(std::uint32_t slot) noexcept;
    std::int32_t second_pass(int fd) noexcept;
    std::int32_t verdict(char *msg, std::size_t msgSize) noexcept;
    bool rebuild() noexcept;  // heap and captures from the phases (after load)

    rerazera_stream_options options_{};
    std::uint64_t pos_ = 0;
    std::uint16_t crc_ = 0;  // running CRC of bytes [0, pos_)
    bool finished_ = false;
    bool tooLarge_ = false;
    bool stopped_ = false;
    bool noMemory_ = false;
    bool headerOk_ = false;
    // Extension state.
    bool dummyOk_ = false;    // the dummy bin header passed its check
    bool tableDone_ = false;  // all of the second table arrived
    bool tableOk_ = false;
    std::uint16_t tableCrc_ = 0;
    std::uint8_t header_[QVPKG_HEADER_SIZE] = {};
    std::uint8_t dummy_[352] = {};
    Array<std::uint8_t> table_;
    Array<EntryState> entries_;
    Array<std::uint64_t> heap_;  // (position << 22) | id
    Array<std::uint32_t> capturing_;
    Array<std::uint8_t> slots_;
    Array<std::uint32_t> freeSlots_;
    std::uint32_t slotCount_ = 0;
    std::uint64_t pendingCount_ = 0;
};

}  // namespace rerazera::stream

struct rerazera_stream {
    explicit rerazera_stream(const rerazera_stream_options *options) noexcept : verifier(options) {}
    rerazera::stream::Verifier verifier;
};
