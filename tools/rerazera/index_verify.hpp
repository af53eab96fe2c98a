// SPDX-License-Identifier: MIT
// verify --stream --index: a package streamed against its signed index, no
// byte passed on before the block that holds it has been proven.
#pragma once

#include <string>

#include "signature_check.hpp"

namespace rztool {

// The index's signature is checked under the policy of sig first; a
// refused index stops before the package is read. output ("" none, "-"
// standard output, else a file kept only when everything passed) receives
// the proven bytes. Returns the tool's exit status.
int verify_with_index(const std::string &package, const std::string &indexPath,
                      const SignatureOptions &sig, const std::string &output);

}  // namespace rztool
