// SPDX-License-Identifier: MIT
// Signing in two steps, for a signer on another machine: sign --prepare
// writes a signing request (what the signature will cover: the key ID, the
// package's size and BLAKE2b-512 digest, both comments), sign --sign-request
// turns it into a minisign signature where the key is, and sign --attach
// checks that signature against the package before writing PACKAGE.minisig.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "rerazera/sign.h"
#include "signing_helper.hpp"

namespace rztool {

// The trusted comment sign gives the package at path, after checking the
// package: kExitOk with comment set, or the exit status after saying why.
int package_comment(const std::string &path, const std::string &version, const std::string &extra,
                    long long timestamp, std::string &comment);

// sign --prepare: writes out (default PACKAGE.sigreq).
int prepare_request(const std::string &publicPath, const std::string &package,
                    const std::string &comment, const std::string &untrusted,
                    const std::string &out);

// sign --sign-request: signs with key, or else with signer (a helper or a
// token key, whose last failure signerFailure tells) and publicPath;
// writes out (default the request's name with .sigresp for .sigreq).
int sign_request(const std::string &request, const rerazera_secret_key *key,
                 rerazera_signer_fn signer, void *ctx,
                 const std::function<std::string()> &signerFailure, const std::string &publicPath,
                 const std::string &out);

// sign --attach: writes out (default PACKAGE.minisig) once the response
// verifies over the package with publicPath's key.
int attach_response(const std::string &response, const std::string &publicPath,
                    const std::string &package, const std::string &out);

}  // namespace rztool
