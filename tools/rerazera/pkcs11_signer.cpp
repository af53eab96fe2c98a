// SPDX-License-Identifier: MIT
#include "pkcs11_signer.hpp"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "password.hpp"
#include "tool.hpp"

#ifdef RERAZERA_HAVE_P11KIT
#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>
#include <p11-kit/uri.h>
#endif

namespace rztool {

// The public key and its derived key ID, whatever the build.
struct Pkcs11Public {
    std::array<std::uint8_t, 32> key{};
    std::string failure;
};

std::string pkcs11_key_file_text(const std::array<std::uint8_t, 32> &pk, std::string &idText) {
    std::array<std::uint8_t, crypto_generichash_BYTES> digest{};
    crypto_generichash(digest.data(), digest.size(), pk.data(), pk.size(), nullptr, 0);
    std::uint8_t blob[2 + 8 + 32] = {'E', 'd'};
    std::copy(digest.begin(), digest.begin() + 8, blob + 2);
    std::copy(pk.begin(), pk.end(), blob + 10);
    char b64[sodium_base64_ENCODED_LEN(sizeof blob, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(b64, sizeof b64, blob, sizeof blob, sodium_base64_VARIANT_ORIGINAL);
    idText.clear();
    for (int i = 7; i >= 0; --i) {  // as minisign prints it: a little-endian number
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", digest[static_cast<std::size_t>(i)]);
        idText += hex;
    }
    return "untrusted comment: minisign public key " + idText + "\n" + b64 + "\n";
}

#ifndef RERAZERA_HAVE_P11KIT

class Pkcs11Key : public Pkcs11Public {};

bool pkcs11_available() {
    return false;
}

std::shared_ptr<Pkcs11Key> pkcs11_open(const std::string &, int) {
    report_error("--pkcs11",
                 "PKCS#11 support was not built (p11-kit was not found when the "
                 "tool was configured)");
    return nullptr;
}

int pkcs11_sign(void *, const std::uint8_t *, std::size_t, std::uint8_t[64]) {
    return 1;
}

#else

namespace {

struct UriFree {
    void operator()(P11KitUri *uri) const { p11_kit_uri_free(uri); }
};
using UriPtr = std::unique_ptr<P11KitUri, UriFree>;

// The loaded modules: one by path, or p11-kit's registered ones; finalized
// and released however the caller leaves.
class Modules {
  public:
    Modules(const Modules &) = delete;
    Modules &operator=(const Modules &) = delete;
    Modules() = default;
    ~Modules() {
        if (single_ != nullptr) {
            p11_kit_module_finalize(single_);
            p11_kit_module_release(single_);
        }
        if (list_ != nullptr) {
            p11_kit_modules_finalize_and_release(list_);
        }
    }
    bool load(const char *path) {
        if (path != nullptr) {
            single_ = p11_kit_module_load(path, 0);
            if (single_ == nullptr) {
                return false;
            }
            if (p11_kit_module_initialize(single_) != CKR_OK) {
                p11_kit_module_release(single_);
                single_ = nullptr;
                return false;
            }
            all_.push_back(single_);
            return true;
        }
        list_ = p11_kit_modules_load_and_initialize(0);
        for (CK_FUNCTION_LIST **m = list_; m != nullptr && *m != nullptr; ++m) {
            all_.push_back(*m);
        }
        return list_ != nullptr;
    }
    const std::vector<CK_FUNCTION_LIST *> &all() const { return all_; }

  private:
    CK_FUNCTION_LIST *single_ = nullptr;
    CK_FUNCTION_LIST **list_ = nullptr;
    std::vector<CK_FUNCTION_LIST *> all_;
};

// A value attribute of an object, or empty.
std::vector<std::uint8_t> attribute(CK_FUNCTION_LIST *m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o,
                                    CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (m->C_GetAttributeValue(s, o, &a, 1) != CKR_OK ||
        a.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
        return {};
    }
    std::vector<std::uint8_t> value(a.ulValueLen);
    a.pValue = value.data();
    if (m->C_GetAttributeValue(s, o, &a, 1) != CKR_OK) {
        return {};
    }
    value.resize(a.ulValueLen);
    return value;
}

std::vector<CK_OBJECT_HANDLE> find(CK_FUNCTION_LIST *m, CK_SESSION_HANDLE s, CK_ATTRIBUTE *tmpl,
                                   CK_ULONG n) {
    std::vector<CK_OBJECT_HANDLE> found;
    if (m->C_FindObjectsInit(s, tmpl, n) != CKR_OK) {
        return found;
    }
    CK_OBJECT_HANDLE o = 0;
    CK_ULONG count = 0;
    while (m->C_FindObjects(s, &o, 1, &count) == CKR_OK && count == 1) {
        found.push_back(o);
    }
    m->C_FindObjectsFinal(s);
    return found;
}

// Ed25519's curve in CKA_EC_PARAMS: the printable string "edwards25519"
// or the OID 1.3.101.112.
bool names_ed25519(const std::vector<std::uint8_t> &p) {
    static const std::uint8_t oid[] = {0x06, 0x03, 0x2B, 0x65, 0x70};
    static const std::uint8_t name[] = {0x13, 0x0C, 'e', 'd', 'w', 'a', 'r',
                                        'd',  's',  '2', '5', '5', '1', '9'};
    return std::vector<std::uint8_t>(std::begin(oid), std::end(oid)) == p ||
           std::vector<std::uint8_t>(std::begin(name), std::end(name)) == p;
}

// The PIN: the URI's, then --password-fd's, then the terminal's.
std::optional<std::string> token_pin(P11KitUri *uri, int passwordFd) {
    if (const char *v = p11_kit_uri_get_pin_value(uri); v != nullptr) {
        return std::string(v);
    }
    if (const char *src = p11_kit_uri_get_pin_source(uri); src != nullptr) {
        std::string file(src);
        if (file.rfind("file:", 0) == 0) {
            file.erase(0, 5);
        }
        // A FIFO or a device would block or never end: refused by kind.
        if (!check_input_file(file)) {
            return std::nullopt;
        }
        std::ifstream in(file);
        std::string pin;
        if (!in || !std::getline(in, pin)) {
            report_error("--pkcs11", "cannot read the PIN from pin-source " + escape(src));
            return std::nullopt;
        }
        return pin;
    }
    return read_password(passwordFd, "PIN for the token: ", false);
}

}  // namespace

class Pkcs11Key : public Pkcs11Public {
  public:
    Pkcs11Key() = default;
    Pkcs11Key(const Pkcs11Key &) = delete;
    Pkcs11Key &operator=(const Pkcs11Key &) = delete;
    ~Pkcs11Key() {
        if (loggedIn) {
            module->C_Logout(session);
        }
        if (hasSession) {
            module->C_CloseSession(session);
        }
    }
    Modules modules;  // declared first: finalized after the session is closed
    CK_FUNCTION_LIST *module = nullptr;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE privateKey = 0;
    bool hasSession = false;
    bool loggedIn = false;
};

bool pkcs11_available() {
    return true;
}

std::shared_ptr<Pkcs11Key> pkcs11_open(const std::string &text, int passwordFd) {
    const auto fail = [](const std::string &why) {
        report_error("--pkcs11", why);
        return std::shared_ptr<Pkcs11Key>();
    };
    UriPtr uri(p11_kit_uri_new());
    if (const int r = p11_kit_uri_parse(text.c_str(), P11_KIT_URI_FOR_ANY, uri.get());
        r != P11_KIT_URI_OK) {
        return fail("not a PKCS#11 URI: " + std::string(p11_kit_uri_message(r)));
    }
    auto key = std::make_shared<Pkcs11Key>();
    const char *modulePath = p11_kit_uri_get_module_path(uri.get());
    if (!key->modules.load(modulePath)) {
        return fail(modulePath != nullptr ? "cannot load the module " + escape(modulePath)
                                          : "cannot load p11-kit's modules");
    }
    // Exactly one token that the URI matches.
    std::vector<std::pair<CK_FUNCTION_LIST *, CK_SLOT_ID> > tokens;
    for (CK_FUNCTION_LIST *m : key->modules.all()) {
        CK_ULONG n = 0;
        if (m->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK) {
            continue;
        }
        std::vector<CK_SLOT_ID> slots(n);
        if (m->C_GetSlotList(CK_TRUE, slots.data(), &n) != CKR_OK) {
            continue;
        }
        for (CK_ULONG i = 0; i < n; ++i) {
            CK_TOKEN_INFO info{};
            if (m->C_GetTokenInfo(slots[i], &info) == CKR_OK &&
                p11_kit_uri_match_token_info(uri.get(), &info) == 1) {
                tokens.emplace_back(m, slots[i]);
            }
        }
    }
    if (tokens.size() != 1) {
        return fail(tokens.empty() ? "no token matches the URI"
                                   : "the URI matches " + std::to_string(tokens.size()) +
                                         " tokens; name one (token=)");
    }
    CK_FUNCTION_LIST *m = key->module = tokens[0].first;
    if (m->C_OpenSession(tokens[0].second, CKF_SERIAL_SESSION, nullptr, nullptr, &key->session) !=
        CKR_OK) {
        return fail("cannot open a session with the token");
    }
    key->hasSession = true;
    std::optional<std::string> pin = token_pin(uri.get(), passwordFd);
    if (!pin) {
        return nullptr;
    }
    const CK_RV login = m->C_Login(key->session, CKU_USER,
                                   reinterpret_cast<CK_UTF8CHAR *>(pin->data()), pin->size());
    wipe(*pin);
    if (login == CKR_PIN_INCORRECT || login == CKR_PIN_LEN_RANGE) {
        return fail("wrong PIN for the token");
    }
    if (login == CKR_PIN_LOCKED) {
        return fail("the token's PIN is locked");
    }
    if (login != CKR_OK && login != CKR_USER_ALREADY_LOGGED_IN) {
        return fail("cannot log in to the token (PKCS#11 error " + std::to_string(login) + ")");
    }
    key->loggedIn = login == CKR_OK;
    // Exactly one private key the URI matches (its id=, object=, type=).
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE byClass{CKA_CLASS, &privateClass, sizeof privateClass};
    std::vector<CK_OBJECT_HANDLE> keys;
    std::vector<std::uint8_t> keyId;
    for (CK_OBJECT_HANDLE o : find(m, key->session, &byClass, 1)) {
        std::vector<std::uint8_t> id = attribute(m, key->session, o, CKA_ID);
        std::vector<std::uint8_t> label = attribute(m, key->session, o, CKA_LABEL);
        CK_ATTRIBUTE attrs[] = {
            byClass, {CKA_ID, id.data(), id.size()}, {CKA_LABEL, label.data(), label.size()}};
        if (p11_kit_uri_match_attributes(uri.get(), attrs, 3) == 1) {
            keys.push_back(o);
            keyId = id;
        }
    }
    if (keys.size() != 1) {
        return fail(keys.empty() ? "no private key in the token matches the URI"
                                 : "the URI is ambiguous: " + std::to_string(keys.size()) +
                                       " private keys match; name one (id= or object=)");
    }
    key->privateKey = keys[0];
    const std::vector<std::uint8_t> type = attribute(m, key->session, keys[0], CKA_KEY_TYPE);
    CK_KEY_TYPE keyType = 0;
    if (type.size() == sizeof keyType) {
        std::memcpy(&keyType, type.data(), sizeof keyType);
    }
    if (keyType != CKK_EC_EDWARDS ||
        !names_ed25519(attribute(m, key->session, keys[0], CKA_EC_PARAMS))) {
        return fail("the token's key is not an Ed25519 key");
    }
    // The public key: the public object with the same CKA_ID, else the
    // private key's own CKA_EC_POINT where the token keeps one.
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE pair[] = {{CKA_CLASS, &publicClass, sizeof publicClass},
                           {CKA_ID, keyId.data(), keyId.size()}};
    std::vector<std::uint8_t> point;
    for (CK_OBJECT_HANDLE o : find(m, key->session, pair, 2)) {
        if (point = attribute(m, key->session, o, CKA_EC_POINT); !point.empty()) {
            break;
        }
    }
    if (point.empty()) {
        point = attribute(m, key->session, keys[0], CKA_EC_POINT);
    }
    // Raw 32 bytes, or DER-wrapped as an OCTET STRING (SoftHSM).
    if (point.size() == 34 && point[0] == 0x04 && point[1] == 0x20) {
        point.erase(point.begin(), point.begin() + 2);
    }
    if (point.size() != 32) {
        return fail("the token holds no Ed25519 public key for the private key");
    }
    std::copy(point.begin(), point.end(), key->key.begin());
    return key;
}

int pkcs11_sign(void *ctx, const std::uint8_t *message, std::size_t len,
                std::uint8_t signature[64]) {
    auto *key = static_cast<Pkcs11Key *>(ctx);
    try {
        CK_MECHANISM mech{CKM_EDDSA, nullptr, 0};  // no parameters: pure Ed25519
        CK_FUNCTION_LIST *m = key->module;
        if (CK_RV r = m->C_SignInit(key->session, &mech, key->privateKey); r != CKR_OK) {
            key->failure =
                "the token refused to start signing (PKCS#11 error " + std::to_string(r) + ")";
            return 1;
        }
        CK_ULONG n = 64;
        std::vector<CK_BYTE> in(message, message + len);
        if (CK_RV r = m->C_Sign(key->session, in.data(), in.size(), signature, &n); r != CKR_OK) {
            key->failure = "the token did not sign (PKCS#11 error " + std::to_string(r) + ")";
            return 1;
        }
        if (n != 64) {
            key->failure = "the token's signature has " + std::to_string(n) + " bytes, not 64";
            return 1;
        }
        return 0;
    } catch (...) {
        return 1;
    }
}

#endif

const std::array<std::uint8_t, 32> &pkcs11_public_key(const Pkcs11Key &key) {
    return key.key;
}

std::string pkcs11_public_key_file(const Pkcs11Key &key, std::string &idText) {
    return pkcs11_key_file_text(key.key, idText);
}

bool pkcs11_matches_key_file(const Pkcs11Key &key, const std::string &path) {
    std::ifstream in(path);
    std::string comment, line;
    std::uint8_t blob[2 + 8 + 32];
    std::size_t n = 0;
    if (!in || !std::getline(in, comment) || !std::getline(in, line) ||
        sodium_base642bin(blob, sizeof blob, line.c_str(), line.size(), " \r", &n, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        n != sizeof blob || blob[0] != 'E' || blob[1] != 'd') {
        report_error(path, "not a minisign public key file");
        return false;
    }
    if (!std::equal(key.key.begin(), key.key.end(), blob + 10)) {
        report_error(path, "does not match the token's key; nothing signed");
        return false;
    }
    return true;
}

const std::string &pkcs11_failure(const Pkcs11Key &key) {
    return key.failure;
}

}  // namespace rztool
