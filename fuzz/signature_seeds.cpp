// SPDX-License-Identifier: MIT
// Writes the signature fuzz target's seeds: a valid prehashed signature of
// the target's fixed file by its fixed key, a legacy one, a signature by
// another key, the fixed public key file and an unencrypted secret key file.
//
// Usage: rerazera_fuzz_signature_seeds OUTDIR   (writes OUTDIR/signature/)
#include <sodium.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include "sign/public_key.hpp"
#include "sign/secret_key.hpp"
#include "sign/signature_file.hpp"
#include "sign/signing.hpp"
#include "signature_fixture.hpp"

namespace rs = rerazera::sign;

int main(int argc, char **argv) {
    if (argc != 2 || sodium_init() < 0) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/signature";
    ::mkdir(argv[1], 0755);
    ::mkdir(dir.c_str(), 0755);
    auto put = [&dir](const std::string &name, const std::string &text) {
        std::ofstream(dir + "/" + name, std::ios::binary | std::ios::trunc) << text;
    };
    const auto *text = reinterpret_cast<const std::uint8_t *>(rzfuzz::kSignedText);
    const std::size_t size = std::strlen(rzfuzz::kSignedText);
    const rs::SecretKey key = rzfuzz::fixed_key();

    rs::SignatureFile sig = rs::sign_bytes(key, text, size, "timestamp:0\tfile:signed.bin");
    put("hashed", rs::format_signature_file(sig, "signature from rerazera secret key"));
    // The legacy form signs the bytes themselves.
    sig.algorithm = {'E', 'd'};
    crypto_sign_detached(sig.signature.data(), nullptr, text, size, key.key.data());
    std::vector<std::uint8_t> global(sig.signature.begin(), sig.signature.end());
    global.insert(global.end(), sig.trustedComment.begin(), sig.trustedComment.end());
    crypto_sign_detached(sig.globalSignature.data(), nullptr, global.data(), global.size(),
                         key.key.data());
    put("legacy", rs::format_signature_file(sig, "legacy"));
    const rs::SecretKey other = rs::SecretKey::generate();
    put("other-key", rs::format_signature_file(rs::sign_bytes(other, text, size, ""), "other"));
    put("public-key", rs::format_public_key_file(key.public_key()));
    const auto secret = rs::format_secret_key_file(key, nullptr);
    put("secret-key", std::get<std::string>(secret));
    std::printf("wrote 5 seeds under %s\n", dir.c_str());
    return 0;
}
