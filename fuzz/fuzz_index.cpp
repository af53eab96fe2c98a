// SPDX-License-Identifier: MIT
// The package index parser: any input is either refused or read into an
// index whose every count agrees with its size, and which the writer gives
// back byte for byte (there is one spelling of each index).
#include <sodium.h>

#include <string>
#include <string_view>

#include "harness.hpp"
#include "sign/index.hpp"

namespace rs = rerazera::sign;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > rzfuzz::kMaxInput || sodium_init() < 0) {
        return 0;
    }
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const auto index = rs::parse_index(text);
    if (!index) {
        return 0;
    }
    rzfuzz::expect(index->size >= rs::kIndexMinPackage && index->size <= rs::kIndexMaxPackage,
                   "an index of a size no package has");
    rzfuzz::expect(index->blocks.size() == (index->size + index->block - 1) / index->block,
                   "a block count the size does not imply");
    for (const rs::IndexEntry &e : index->entries) {
        rzfuzz::expect(e.length != 0 && e.offset + e.length <= index->size,
                       "an entry outside the package");
    }
    rzfuzz::expect(rs::format_index(*index) == text, "an index that does not round-trip");
    const rs::IndexEntry *first = rs::entry_in(*index, 0, index->size);
    rzfuzz::expect((first != nullptr) == !index->entries.empty(), "an entry not found");
    return 0;
}
