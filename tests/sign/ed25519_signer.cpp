// SPDX-License-Identifier: MIT
// A stand-in for an external signer (a KMS client, a token's tool), for
// `sign --signing-helper`: it holds a raw Ed25519 key outside any minisign
// file.
//   ed25519_signer keygen PUB SK   a minisign public key file, the raw key
//   ed25519_signer sign SK         standard input signed, 64 bytes out
#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    if (sodium_init() < 0 || argc < 3) {
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "keygen" && argc == 4) {
        unsigned char pk[crypto_sign_PUBLICKEYBYTES];
        unsigned char sk[crypto_sign_SECRETKEYBYTES];
        crypto_sign_keypair(pk, sk);
        unsigned char blob[2 + 8 + 32] = {'E', 'd'};
        randombytes_buf(blob + 2, 8);
        std::memcpy(blob + 10, pk, 32);
        char b64[sodium_base64_ENCODED_LEN(sizeof blob, sodium_base64_VARIANT_ORIGINAL)];
        sodium_bin2base64(b64, sizeof b64, blob, sizeof blob, sodium_base64_VARIANT_ORIGINAL);
        std::ofstream(argv[2]) << "untrusted comment: external signer public key\n" << b64 << "\n";
        std::ofstream(argv[3], std::ios::binary).write(reinterpret_cast<char *>(sk), sizeof sk);
        return 0;
    }
    if (mode == "sign" && argc == 3) {
        std::ifstream keyFile(argv[2], std::ios::binary);
        std::vector<char> sk((std::istreambuf_iterator<char>(keyFile)), {});
        std::cin >> std::noskipws;
        std::vector<char> msg((std::istreambuf_iterator<char>(std::cin)), {});
        if (sk.size() != crypto_sign_SECRETKEYBYTES) {
            return 2;
        }
        unsigned char sig[crypto_sign_BYTES];
        crypto_sign_detached(sig, nullptr, reinterpret_cast<unsigned char *>(msg.data()),
                             msg.size(), reinterpret_cast<unsigned char *>(sk.data()));
        std::fwrite(sig, 1, sizeof sig, stdout);
        return std::fflush(stdout) == 0 ? 0 : 2;
    }
    return 2;
}
