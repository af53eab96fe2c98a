// SPDX-License-Identifier: MIT
// Marks the library's exported entry points.
//
// Every exported function is a thin extern "C" shim over C++ code that
// cannot throw: the library is built without exceptions and allocates only
// through malloc(), so nothing can unwind across the C boundary.
#pragma once

#include "rerazera.h"  // IWYU pragma: export

#define RERAZERA_EXPORT extern "C" QVPKG_API
