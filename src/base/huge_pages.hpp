// SPDX-License-Identifier: MIT
// Preparing a large buffer that one read is about to fill whole.
//
// A large fresh buffer is cheap to allocate but dear to touch: each 4 KiB
// page faults in on its own (and, in a virtual machine, may fault in the host
// as well). Two things make that cheaper:
//
//  - Transparent huge pages: a 2 MiB page faults in at once, 512 times fewer
//    faults, still zero-filled by the kernel. But a region advised for huge
//    pages is, under the kernel's default policy, compacted synchronously
//    when no free 2 MiB block is at hand; when the page cache is full of
//    dirty pages (an extraction onto a disk does exactly that), compaction
//    stalls the fault. So the advice is given only when the buddy allocator
//    already holds free 2 MiB blocks for the whole buffer. (Measured: with
//    memory scarce, huge pages that needed some compaction still staged a
//    512 MiB range faster than small pages; what compaction costs is the
//    spread, which is why the free blocks are checked first.)
//  - Otherwise, populating the page tables in one system call instead of one
//    fault per small page (MADV_POPULATE_WRITE, Linux 5.14). Huge pages are
//    not populated ahead: a huge page faulted in by the read is cleared just
//    before it is filled, while it is still in the cache, and populating
//    512 MiB first made the staging about 20% slower.
//
// Both are hints: when the kernel refuses either (no huge page support, an
// older kernel, a buffer too small to hold a huge page), nothing changes but
// the speed. Only the 2 MiB-aligned interior can hold huge pages, so only it
// is advised; only whole 4 KiB pages inside the buffer are populated.
#pragma once

#include <cstddef>
#include <string_view>

namespace rerazera {

inline constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

// Free blocks of 2 MiB or more, counted in 2 MiB units, in a text laid out
// like /proc/buddyinfo ("Node 0, zone Normal" and one count per order from
// 4 KiB up). Zero for text it cannot read.
std::size_t free_huge_blocks(std::string_view buddyinfo) noexcept;

// Advises buffer for huge pages when they come without compaction, or else
// populates it.
void prepare_for_fill(void *buffer, std::size_t size) noexcept;

}  // namespace rerazera
