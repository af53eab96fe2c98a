// SPDX-License-Identifier: MIT
#include "base/safe_memory.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace rerazera {

int memset_s(void *dest, std::size_t destSize, int value, std::size_t count) noexcept {
    if (dest == nullptr) {
        return -1;
    }
    const bool fits = count <= destSize;
    std::memset(dest, value, fits ? count : destSize);
    return fits ? 0 : -1;
}

int memcpy_s(void *dest, std::size_t destSize, const void *src, std::size_t count) noexcept {
    if (dest == nullptr) {
        return -1;
    }
    if (src == nullptr || count > destSize) {
        std::memset(dest, 0, destSize);
        return -1;
    }
    std::memcpy(dest, src, count);
    return 0;
}

void bounded_print(char *dest, std::size_t destSize, const char *format, ...) noexcept {
    if (dest == nullptr || destSize == 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    // vsnprintf never writes more than destSize bytes and always terminates;
    // an encoding error still leaves a terminated (possibly empty) text.
    if (std::vsnprintf(dest, destSize, format, args) < 0) {
        dest[0] = '\0';
    }
    va_end(args);
}

}  // namespace rerazera
