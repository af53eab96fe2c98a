// SPDX-License-Identifier: MIT
// What the exported functions share: the keyring behind the opaque handle,
// and the guard that turns anything thrown into a result code.
#pragma once

#include <sodium.h>

#include <cstdint>
#include <new>
#include <optional>

#include "rerazera/sign.h"
#include "sign/keyring.hpp"
#include "sign/policy.hpp"
#include "sign/signature_file.hpp"

struct rerazera_keyring {
    rerazera::sign::Keyring ring;
};

struct rerazera_policy {
    rerazera::sign::Policy policy;
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

// Hands the parsed signature to the caller when asked for (info may be
// null); NO_MEMORY when the record cannot be made.
std::int32_t hand_out_info(std::int32_t result, const std::optional<SignatureFile> &sig,
                           rerazera_signature_info **info);

}  // namespace rerazera::sign
