// SPDX-License-Identifier: MIT
// What the exported functions share: the keyring behind the opaque handle,
// and the guard that turns anything thrown into a result code.
#pragma once

#include <sodium.h>

#include <cstdint>
#include <new>

#include "rerazera/sign.h"
#include "sign/keyring.hpp"

struct rerazera_keyring {
    rerazera::sign::Keyring ring;
};

namespace rerazera::sign {

// Runs body; memory running out and any other exception become codes.
template <typename Body>
std::int32_t guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return RERAZERA_SIGN_NO_MEMORY;
    } catch (...) {
        return RERAZERA_SIGN_NO_MEMORY;
    }
}

// sodium_init() may be called any number of times, from any thread.
inline bool crypto_ready() noexcept {
    return sodium_init() >= 0;
}

}  // namespace rerazera::sign
