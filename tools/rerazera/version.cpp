// SPDX-License-Identifier: MIT
// rerazera --version: the tool's own version and those of the libraries the
// loader actually mapped, which may differ from the ones it was built with.
#include <dlfcn.h>
#include <sodium.h>

#include <climits>
#include <cstdlib>
#include <iostream>
#include <string>

#include "rerazera.h"
#include "rerazera/package.h"
#include "rerazera/sign.h"
#include "tool.hpp"

#ifndef RERAZERA_VERSION
#define RERAZERA_VERSION "unknown"
#endif

namespace rztool {
namespace {

// The version a shared object's real file name carries (libX.so.1.0.0 gives
// "1.0.0"), found from the address of one of its functions.
std::string loaded_version(const void *symbol) {
    Dl_info info{};
    if (dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) {
        return "unknown";
    }
    char real[PATH_MAX];
    const std::string file = realpath(info.dli_fname, real) != nullptr ? real : info.dli_fname;
    const auto so = file.rfind(".so.");
    return so == std::string::npos ? "built in (" + file + ")" : file.substr(so + 4);
}

}  // namespace

int print_version() {
    std::cout << "rerazera " RERAZERA_VERSION "\n"
              << "librerazera " << loaded_version(reinterpret_cast<void *>(&QVPKG_MakeCrcCheckSum))
              << '\n'
              << "librerazera-package " << rerazera_package_version() << '\n'
              << "librerazera-sign "
              << loaded_version(reinterpret_cast<void *>(&rerazera_sign_strerror)) << '\n'
              << "libsodium " << sodium_version_string() << '\n'
              << "crc kernel " << rerazera_crc_kernel() << '\n';
    return kExitOk;
}

}  // namespace rztool
