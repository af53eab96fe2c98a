// SPDX-License-Identifier: MIT
// Bounds-checked memory and text helpers.
//
// The library clears and copies fixed-size records with memset_s/memcpy_s
// style calls (destination, destination size, value or source, count) and
// writes caller-visible texts with a bounded formatted print. The platform
// has none of these, so this is our own small layer with the guarantees the
// rest of the code relies on: nothing is ever written past the given size,
// and a printed text is always NUL-terminated.
#pragma once

#include <cstddef>

namespace rerazera {

// Fills min(count, destSize) bytes with value. Returns 0, or -1 when dest is
// null or count exceeds destSize (the destination is then filled up to its
// size, never beyond).
int memset_s(void *dest, std::size_t destSize, int value, std::size_t count) noexcept;

// Copies count bytes from src. Returns 0, or -1 when a pointer is null or
// count exceeds destSize, in which case the destination is zero-filled and
// nothing is copied.
int memcpy_s(void *dest, std::size_t destSize, const void *src, std::size_t count) noexcept;

// printf-style print into dest, at most destSize - 1 characters plus a NUL;
// longer text is cut short. A null dest or a destSize of 0 writes nothing.
// The caller never needs the result: the write cannot fail for it.
void bounded_print(char *dest, std::size_t destSize, const char *format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

}  // namespace rerazera
