// SPDX-License-Identifier: MIT
#include "sign/keyring.hpp"

#include <algorithm>

namespace rerazera::sign {

void Keyring::add(const PublicKey &key) {
    for (PublicKey &k : keys_) {
        if (k.id == key.id) {
            k = key;
            return;
        }
    }
    keys_.push_back(key);
}

void Keyring::revoke(const KeyId &id) {
    if (std::find(revoked_.begin(), revoked_.end(), id) == revoked_.end()) {
        revoked_.push_back(id);
    }
}

const PublicKey *Keyring::find(const KeyId &id, Status &status) const {
    if (std::find(revoked_.begin(), revoked_.end(), id) != revoked_.end()) {
        status = Status::Revoked;
        return nullptr;
    }
    for (const PublicKey &k : keys_) {
        if (k.id == id) {
            status = Status::Trusted;
            return &k;
        }
    }
    status = Status::Unknown;
    return nullptr;
}

}  // namespace rerazera::sign
