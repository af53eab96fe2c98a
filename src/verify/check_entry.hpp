// SPDX-License-Identifier: MIT
// The lines the one-call package check logs, shared with the signed
// package check of librerazera-sign, which logs the same ones.
#pragma once

namespace rerazera {

// Each failure is logged with the path as the caller gave it and, after the
// name rule, with the text left in the caller's message buffer.
inline constexpr char kInvalidName[] = "[RERAZERA]Invalid file name %s\n\n";
inline constexpr char kMapFailed[] = "[RERAZERA]Map file unsuccess %s, %s\n\n";
inline constexpr char kWalkFailed[] = "[RERAZERA]check subfile unsuccess %s, %s\n\n";

}  // namespace rerazera
