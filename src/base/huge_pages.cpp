// SPDX-License-Identifier: MIT
#include "base/huge_pages.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <system_error>

#include "base/unique_fd.hpp"

namespace rerazera {
namespace {

// Order 9 is one 2 MiB block of 4 KiB pages.
constexpr unsigned kHugeOrder = 9;
constexpr std::size_t kSmallPage = 4096;

// The counts of one line, after its "zone NAME" label: count k is the number
// of free blocks of 2^k small pages.
std::size_t huge_blocks_in_line(std::string_view line) noexcept {
    const std::size_t zone = line.find("zone");
    if (zone == std::string_view::npos) {
        return 0;
    }
    const std::size_t name = line.find_first_not_of(' ', zone + 4);
    std::size_t pos = name == std::string_view::npos ? line.size() : line.find(' ', name);
    std::size_t blocks = 0;
    for (unsigned order = 0;; ++order) {
        pos = line.find_first_not_of(' ', pos);
        if (pos == std::string_view::npos) {
            return blocks;
        }
        std::size_t count = 0;
        const char *end = line.data() + line.size();
        const auto [next, error] = std::from_chars(line.data() + pos, end, count);
        if (error != std::errc() || (next != end && *next != ' ')) {
            return 0;  // not a count: a layout this reader does not know
        }
        if (order >= kHugeOrder && order - kHugeOrder < 16) {
            blocks += count << (order - kHugeOrder);
        }
        pos = static_cast<std::size_t>(next - line.data());
    }
}

}  // namespace

std::size_t free_huge_blocks(std::string_view buddyinfo) noexcept {
    std::size_t blocks = 0;
    while (!buddyinfo.empty()) {
        const std::size_t end = buddyinfo.find('\n');
        blocks += huge_blocks_in_line(buddyinfo.substr(0, end));
        buddyinfo.remove_prefix(end == std::string_view::npos ? buddyinfo.size() : end + 1);
    }
    return blocks;
}

namespace {

// Whether the kernel can back size bytes (whole huge pages) with huge pages
// straight from its free lists. A machine with many zones or nodes writes a longer table than
// the buffer holds; its tail is left uncounted, which only errs towards
// small pages.
bool huge_pages_free_for(std::size_t size) noexcept {
    // An open that fails leaves -1, whose read fails in turn.
    const UniqueFd fd(::open("/proc/buddyinfo", O_RDONLY | O_CLOEXEC));
    char text[4096];
    const ssize_t got = ::read(fd.get(), text, sizeof text);
    if (got <= 0) {
        return false;
    }
    std::string_view table(text, static_cast<std::size_t>(got));
    table = table.substr(0, table.find_last_of('\n') + 1);  // whole lines only
    return free_huge_blocks(table) >= size / kHugePageSize;
}

constexpr std::uintptr_t align_down(std::uintptr_t value, std::uintptr_t unit) noexcept {
    return value & ~(unit - 1);
}

constexpr std::uintptr_t align_up(std::uintptr_t value, std::uintptr_t unit) noexcept {
    return align_down(value + unit - 1, unit);
}

}  // namespace

void prepare_for_fill(void *buffer, std::size_t size) noexcept {
    const auto start = reinterpret_cast<std::uintptr_t>(buffer);
    const std::uintptr_t first = align_up(start, kHugePageSize);
    const std::uintptr_t last = align_down(start + size, kHugePageSize);
    if (last > first && huge_pages_free_for(last - first) &&
        ::madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE) == 0) {
        return;  // the read faults each huge page in, cleared just before it is filled
    }
    const std::uintptr_t pageFirst = align_up(start, kSmallPage);
    const std::uintptr_t pageLast = align_down(start + size, kSmallPage);
    if (pageLast > pageFirst) {
        ::madvise(reinterpret_cast<void *>(pageFirst), pageLast - pageFirst, MADV_POPULATE_WRITE);
    }
}

}  // namespace rerazera
