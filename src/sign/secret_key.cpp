// SPDX-License-Identifier: MIT
#include "sign/secret_key.hpp"

#include <sodium.h>

#include <cstring>
#include <utility>
#include <vector>

#include "sign/base64.hpp"
#include "sign/text_lines.hpp"

namespace rerazera::sign {
namespace {

// Offsets in the decoded blob.
constexpr std::size_t kKdfAlgAt = 2;
constexpr std::size_t kChkAlgAt = 4;
constexpr std::size_t kSaltAt = 6;
constexpr std::size_t kOpsAt = kSaltAt + crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
constexpr std::size_t kMemAt = kOpsAt + 8;
constexpr std::size_t kKeynumAt = kMemAt + 8;  // key ID | secret key | checksum
constexpr std::size_t kKeynumSize = 8 + 64 + 32;
static_assert(kKeynumAt + kKeynumSize == kSecretKeyBlobSize);

constexpr char kScrypt[2] = {'S', 'c'};
constexpr char kNoKdf[2] = {0, 0};
constexpr char kBlake2[2] = {'B', '2'};

std::uint64_t load_le64(const std::uint8_t *p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | p[i];
    }
    return v;
}

void store_le64(std::uint8_t *p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// Wipes a byte vector holding key material when it goes away.
struct Wiped {
    std::vector<std::uint8_t> bytes;
    explicit Wiped(std::size_t n) : bytes(n) {}
    ~Wiped() { sodium_memzero(bytes.data(), bytes.size()); }
    Wiped(const Wiped &) = delete;
    Wiped &operator=(const Wiped &) = delete;
};

std::array<std::uint8_t, 32> checksum(const KeyId &id, const std::uint8_t *sk) {
    std::array<std::uint8_t, 32> chk{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, chk.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>("Ed"), 2);
    crypto_generichash_update(&state, id.data(), id.size());
    crypto_generichash_update(&state, sk, 64);
    crypto_generichash_final(&state, chk.data(), chk.size());
    return chk;
}

// XORs the keynum area with the stream derived from the password.
bool apply_password(std::uint8_t *blob, const std::string &password) {
    Wiped stream(kKeynumSize);
    if (crypto_pwhash_scryptsalsa208sha256(
            stream.bytes.data(), stream.bytes.size(), password.data(), password.size(),
            blob + kSaltAt, load_le64(blob + kOpsAt),
            static_cast<std::size_t>(load_le64(blob + kMemAt))) != 0) {
        return false;
    }
    for (std::size_t i = 0; i < kKeynumSize; ++i) {
        blob[kKeynumAt + i] ^= stream.bytes[i];
    }
    return true;
}

std::string_view blob_line(std::string_view content) {
    const std::vector<std::string_view> lines = split_lines(content);
    if (lines.size() < 2 || !lines[0].starts_with(kUntrustedPrefix) || !only_empty_from(lines, 2)) {
        return {};
    }
    return lines[1];
}

}  // namespace

SecretKey::SecretKey(SecretKey &&other) noexcept : id(other.id), key(other.key) {
    sodium_memzero(other.key.data(), other.key.size());
}

SecretKey &SecretKey::operator=(SecretKey &&other) noexcept {
    if (this != &other) {
        id = other.id;
        key = other.key;
        sodium_memzero(other.key.data(), other.key.size());
    }
    return *this;
}

SecretKey::~SecretKey() {
    sodium_memzero(key.data(), key.size());
}

SecretKey SecretKey::generate() {
    SecretKey sk;
    randombytes_buf(sk.id.data(), sk.id.size());
    std::array<std::uint8_t, 32> pk{};
    crypto_sign_keypair(pk.data(), sk.key.data());
    return sk;
}

PublicKey SecretKey::public_key() const {
    PublicKey pk;
    pk.id = id;
    crypto_sign_ed25519_sk_to_pk(pk.key.data(), key.data());
    return pk;
}

bool secret_key_file_encrypted(std::string_view content) {
    const auto blob = base64_decode(blob_line(content), kSecretKeyBlobSize);
    return blob && std::memcmp(blob->data() + kKdfAlgAt, kScrypt, 2) == 0;
}

std::variant<SecretKey, SecretKeyProblem> parse_secret_key_file(std::string_view content,
                                                                const std::string *password) {
    const auto decoded = base64_decode(blob_line(content), kSecretKeyBlobSize);
    if (!decoded) {
        return SecretKeyProblem::Malformed;
    }
    Wiped blob(kSecretKeyBlobSize);
    std::memcpy(blob.bytes.data(), decoded->data(), kSecretKeyBlobSize);
    std::uint8_t *b = blob.bytes.data();
    if (std::memcmp(b, kKeyAlgorithm.data(), 2) != 0 ||
        std::memcmp(b + kChkAlgAt, kBlake2, 2) != 0) {
        return SecretKeyProblem::Malformed;
    }
    const bool encrypted = std::memcmp(b + kKdfAlgAt, kScrypt, 2) == 0;
    if (!encrypted && std::memcmp(b + kKdfAlgAt, kNoKdf, 2) != 0) {
        return SecretKeyProblem::Malformed;
    }
    if (encrypted) {
        if (password == nullptr) {
            return SecretKeyProblem::NeedsPassword;
        }
        // A file may not make us spend more than minisign itself asks for.
        if (load_le64(b + kOpsAt) > kKdfOpsLimit || load_le64(b + kMemAt) > kKdfMemLimit) {
            return SecretKeyProblem::Malformed;
        }
        if (!apply_password(b, *password)) {
            return SecretKeyProblem::KdfFailed;
        }
    }
    SecretKey sk;
    std::memcpy(sk.id.data(), b + kKeynumAt, 8);
    std::memcpy(sk.key.data(), b + kKeynumAt + 8, 64);
    std::array<std::uint8_t, 32> chk = checksum(sk.id, sk.key.data());
    const std::uint8_t *stored = b + kKeynumAt + 8 + 64;
    // minisign leaves the checksum of an unencrypted key zero.
    static constexpr std::uint8_t kZero[32] = {};
    const bool matches = sodium_memcmp(chk.data(), stored, 32) == 0 ||
                         (!encrypted && std::memcmp(stored, kZero, 32) == 0);
    sodium_memzero(chk.data(), chk.size());
    if (!matches) {
        return encrypted ? SecretKeyProblem::WrongPassword : SecretKeyProblem::Malformed;
    }
    return sk;
}

std::variant<std::string, SecretKeyProblem> format_secret_key_file(const SecretKey &key,
                                                                   const std::string *password) {
    Wiped blob(kSecretKeyBlobSize);
    std::uint8_t *b = blob.bytes.data();
    std::memcpy(b, kKeyAlgorithm.data(), 2);
    std::memcpy(b + kKdfAlgAt, password != nullptr ? kScrypt : kNoKdf, 2);
    std::memcpy(b + kChkAlgAt, kBlake2, 2);
    std::memcpy(b + kKeynumAt, key.id.data(), 8);
    std::memcpy(b + kKeynumAt + 8, key.key.data(), 64);
    const std::array<std::uint8_t, 32> chk = checksum(key.id, key.key.data());
    std::memcpy(b + kKeynumAt + 72, chk.data(), chk.size());
    if (password != nullptr) {
        randombytes_buf(b + kSaltAt, crypto_pwhash_scryptsalsa208sha256_SALTBYTES);
        store_le64(b + kOpsAt, kKdfOpsLimit);
        store_le64(b + kMemAt, kKdfMemLimit);
        if (!apply_password(b, *password)) {
            return SecretKeyProblem::KdfFailed;
        }
    }
    return std::string(kUntrustedPrefix) + "minisign encrypted secret key\n" +
           base64_encode(b, kSecretKeyBlobSize) + "\n";
}

}  // namespace rerazera::sign
