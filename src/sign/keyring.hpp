// SPDX-License-Identifier: MIT
// A set of trusted public keys and of revoked key IDs. The key ID a
// signature names selects the key; a revoked ID is refused even when its
// key is trusted, so that a leaked key can be shut out without editing the
// list of trusted files.
#pragma once

#include <vector>

#include "sign/public_key.hpp"

namespace rerazera::sign {

class Keyring {
  public:
    enum class Status { Trusted, Unknown, Revoked };

    // A key with an ID already trusted replaces it.
    void add(const PublicKey &key);
    void revoke(const KeyId &id);

    // The key for id when Trusted; null otherwise.
    [[nodiscard]] const PublicKey *find(const KeyId &id, Status &status) const;
    [[nodiscard]] std::size_t size() const { return keys_.size(); }

  private:
    std::vector<PublicKey> keys_;
    std::vector<KeyId> revoked_;
};

}  // namespace rerazera::sign
