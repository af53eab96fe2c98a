// SPDX-License-Identifier: MIT
// Package header access: the header check and the loading of a checked
// header image.
#pragma once

#include <cstdint>

#include "base/heap_buffer.hpp"

namespace rerazera {

// Checks a 6180-byte header image: 0, QVPKG_ERR_FILE_NUM or QVPKG_ERR_CRC (logged).
std::int32_t check_header(const std::uint8_t *image) noexcept;

// Loads and checks the header at path; an empty buffer on failure (logged).
HeapBuffer load_header(const char *path) noexcept;

}  // namespace rerazera
