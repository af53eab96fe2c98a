// SPDX-License-Identifier: MIT
#include "sign/digest.hpp"

#include <sodium.h>

namespace rerazera::sign {

Digest blake2b512(const std::uint8_t *data, std::size_t size, const PageFeeder *feeder) noexcept {
    Digest digest{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, digest.size());
    for (std::size_t done = 0; done < size;) {
        const std::size_t chunk =
            size - done < PageFeeder::kChunk ? size - done : PageFeeder::kChunk;
        if (feeder != nullptr) {
            feeder->feed(data + done, chunk);
        }
        crypto_generichash_update(&state, data + done, chunk);
        done += chunk;
    }
    crypto_generichash_final(&state, digest.data(), digest.size());
    return digest;
}

}  // namespace rerazera::sign
