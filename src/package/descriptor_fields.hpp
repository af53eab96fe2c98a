// SPDX-License-Identifier: MIT
// A descriptor's six fields into a public record: rerazera_entry and
// rerazera_descriptor name them alike, in host byte order.
#pragma once

#include "rerazera.h"

namespace rerazera::package {

template <class Record>
void set_descriptor(Record &out, const QVFileDesc &d) noexcept {
    out.file_id = d.fileId;
    out.offset = d.offset;
    out.length = d.length;
    out.crc = d.crc;
    out.aux0 = d.aux0;
    out.aux1 = d.aux1;
}

}  // namespace rerazera::package
