// SPDX-License-Identifier: MIT
// rerazera sign -s KEY.sec PACKAGE...: a detached PACKAGE.minisig for each
// package, in minisign's prehashed format ("ED"), so that `minisign -V`
// checks it as well as `rerazera verify`. Its trusted comment records the
// package's file name, size, product type, a timestamp and, with --version,
// the release's version as tab-separated key:value fields, followed by the
// fields given with -t; the timestamp is SOURCE_DATE_EPOCH when that is
// set, so that a reproducible build signs reproducibly.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <sstream>

#include "output.hpp"
#include "password.hpp"
#include "pkcs11_signer.hpp"
#include "rerazera.h"
#include "rerazera/sign.h"
#include "sign_request.hpp"
#include "signing_helper.hpp"
#include "spool.hpp"
#include "tool.hpp"

namespace rztool {
namespace {

struct SignOptions {
    std::string secretPath;
    std::vector<std::string> packages;
    int passwordFd = -1;
    std::string trustedExtra;                                      // -t
    std::string untrusted = "signature from rerazera secret key";  // -c
    std::string sigPath;                                           // -x
    std::string version;                                           // --version
    std::string helper;                                            // --signing-helper
    std::string publicPath;                                        // -p, with the helper
    std::string pkcs11;                                            // --pkcs11
    bool index = false;                                            // --index
    std::string indexDigest = "blake2b-256";                       // --index-digest
    bool prepare = false;                                          // --prepare
    std::string request;                                           // --sign-request
    std::string attach;                                            // --attach
    std::string outPath;                                           // -o
};

using SecretKeyPtr = std::unique_ptr<rerazera_secret_key, decltype(&rerazera_secret_key_free)>;
using TextPtr = std::unique_ptr<char, decltype(&std::free)>;

// The fields sign sets itself; -t may not set them again.
constexpr const char *kOwnFields[] = {"timestamp", "file", "size", "product-type", "version"};

// SOURCE_DATE_EPOCH (a decimal count of seconds) or the current time.
std::optional<long long> signing_time() {
    const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr) {
        return static_cast<long long>(std::time(nullptr));
    }
    char *end = nullptr;
    errno = 0;
    const long long t = std::strtoll(epoch, &end, 10);
    if (*epoch == '\0' || *end != '\0' || errno != 0 || t < 0) {
        report_error("SOURCE_DATE_EPOCH", "not a count of seconds: " + std::string(epoch));
        return std::nullopt;
    }
    return t;
}

// Options that make no sense together or do not parse; false after saying why.
bool check_options(const SignOptions &opt) {
    if (!opt.secretPath.empty() + !opt.helper.empty() + !opt.pkcs11.empty() != 1) {
        report_error("sign",
                     "give a secret key (-s), a signing helper (--signing-helper) or a "
                     "PKCS#11 token key (--pkcs11)");
        return false;
    }
    if (opt.pkcs11.empty() && opt.helper.empty() != opt.publicPath.empty()) {
        report_error(opt.helper.empty() ? "-p" : "--signing-helper",
                     "a signing helper needs the public key file of its key (-p), and -p "
                     "needs a signing helper");
        return false;
    }
    if (!opt.sigPath.empty() && opt.packages.size() != 1) {
        report_error("-x", "names the signature of one package; give one package");
        return false;
    }
    int order = 0;
    if (!opt.version.empty() && rerazera_version_compare(opt.version.c_str(), opt.version.c_str(),
                                                         &order) != RERAZERA_SIGN_OK) {
        report_error("--version", "'" + escape(opt.version) +
                                      "' is not a version (decimal integers joined by dots)");
        return false;
    }
    std::istringstream fields(opt.trustedExtra);
    for (std::string field; std::getline(fields, field, '\t');) {
        const std::string key = field.substr(0, field.find(':'));
        if (std::find(std::begin(kOwnFields), std::end(kOwnFields), key) != std::end(kOwnFields)) {
            report_error("-t", "the field '" + key + "' is set by sign itself");
            return false;
        }
    }
    return true;
}

SecretKeyPtr load_secret_key(const SignOptions &opt) {
    SecretKeyPtr none(nullptr, &rerazera_secret_key_free);
    if (!check_input_file(opt.secretPath)) {
        return none;
    }
    rerazera_secret_key *raw = nullptr;
    std::int32_t r = rerazera_secret_key_read(opt.secretPath.c_str(), nullptr, &raw);
    if (r == RERAZERA_SIGN_NEEDS_PASSWORD) {
        std::optional<std::string> password =
            read_password(opt.passwordFd, "Password for the secret key: ", false);
        if (!password) {
            return none;
        }
        r = rerazera_secret_key_read(opt.secretPath.c_str(), password->c_str(), &raw);
        wipe(*password);
    }
    if (r != RERAZERA_SIGN_OK) {
        report_error(opt.secretPath, r == RERAZERA_SIGN_IO_ERROR
                                         ? "cannot read it as a secret key file"
                                         : rerazera_sign_strerror(r));
        return none;
    }
    return SecretKeyPtr(raw, &rerazera_secret_key_free);
}

// Writes a whole file under a temporary name, then in place.
bool write_signature(const std::string &sigPath, const char *text) {
    StagedFile staged(sigPath);
    if (!staged.ok()) {
        report_error(sigPath, staged.error());
        return false;
    }
    const std::size_t n = std::strlen(text);
    const bool written = ::write(staged.fd(), text, n) == static_cast<ssize_t>(n);
    if (!written || !staged.commit(true)) {
        report_error(sigPath, written ? staged.error() : std::strerror(errno));
        return false;
    }
    return true;
}

// Signs one package: kExitOk, kExitFailure (the package fails its checks)
// or kExitTrouble (an input or output unusable), after reporting why.
// The key that signs: a secret key file, or a helper with a public key file.
struct Signer {
    const rerazera_secret_key *key = nullptr;
    SigningHelper *helper = nullptr;
    std::string publicPath;
    rerazera_signer_fn fn = run_signing_helper;  // with a helper or a token key
    void *ctx = nullptr;
    std::shared_ptr<Pkcs11Key> token;
};

// --index: PACKAGE.index, the digest of every block of the package, and
// PACKAGE.index.minisig, signed by the same key with the same fields, the
// file and size being the index's.
int sign_index(const Signer &signer, const SignOptions &opt, const std::string &path,
               const std::string &commentTail, long long timestamp) {
    char *rawIndex = nullptr;
    std::size_t len = 0;
    const std::uint32_t digest =
        opt.indexDigest == "sha-256" ? RERAZERA_INDEX_SHA256 : RERAZERA_INDEX_BLAKE2B_256;
    if (const std::int32_t r = rerazera_index_build(path.c_str(), digest, 0, &rawIndex, &len);
        r != RERAZERA_SIGN_OK) {
        report_error(path, std::string("no index: ") + rerazera_sign_strerror(r));
        return kExitTrouble;
    }
    const TextPtr indexText(rawIndex, &std::free);
    const std::string indexPath = path + ".index";
    if (!write_signature(indexPath, indexText.get())) {
        return kExitTrouble;
    }
    const std::string comment = "timestamp:" + std::to_string(timestamp) +
                                "\tfile:" + std::filesystem::path(indexPath).filename().string() +
                                "\tsize:" + std::to_string(len) + commentTail;
    char *raw = nullptr;
    std::int32_t r = RERAZERA_SIGN_INVALID_ARGUMENT;
    if (signer.key != nullptr) {
        r = rerazera_sign_file(signer.key, indexPath.c_str(), comment.c_str(),
                               opt.untrusted.c_str(), &raw);
    } else {
        r = rerazera_sign_file_external(signer.publicPath.c_str(), signer.fn, signer.ctx,
                                        indexPath.c_str(), comment.c_str(), opt.untrusted.c_str(),
                                        &raw, nullptr);
    }
    if (r != RERAZERA_SIGN_OK) {
        report_error(indexPath, std::string("not signed: ") + rerazera_sign_strerror(r));
        return kExitTrouble;
    }
    const TextPtr text(raw, &std::free);
    return write_signature(indexPath + ".minisig", text.get()) ? kExitOk : kExitTrouble;
}

}  // namespace

int package_comment(const std::string &path, const std::string &version, const std::string &extra,
                    long long timestamp, std::string &out) {
    std::uint64_t size = 0;
    if (!check_input_file(path, &size)) {
        return kExitTrouble;
    }
    // Only a package that passes its own checks is worth a signature.
    char msg[512] = "";
    if (const std::int32_t r = QVPKG_ChkQVFileInfo(path.c_str(), msg, sizeof msg); r != QVPKG_OK) {
        report_error_text(path, "not signed, the package fails its checks", msg);
        return kExitFailure;
    }
    std::uint32_t productType = 0;
    if (QVPKG_ExtractProductTypeFromQV(path.c_str(), &productType) != QVPKG_OK) {
        report_error(path, "not signed, its product type cannot be read");
        return kExitFailure;
    }
    const std::string name = std::filesystem::path(path).filename().string();
    if (std::any_of(name.begin(), name.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        report_error(path, "not signed, its file name holds a control character");
        return kExitFailure;
    }
    std::ostringstream comment;
    comment << "timestamp:" << timestamp << "\tfile:" << name << "\tsize:" << size
            << "\tproduct-type:" << productType;
    if (!version.empty()) {
        comment << "\tversion:" << version;
    }
    if (!extra.empty()) {
        comment << '\t' << extra;
    }
    out = comment.str();
    return kExitOk;
}

namespace {

int sign_one(const Signer &signer, const SignOptions &opt, const std::string &path,
             long long timestamp) {
    std::uint64_t size = 0;
    if (path == kStdinArg) {
        report_error(path, "sign does not read standard input; give a package file");
        return kExitTrouble;
    }
    if (!check_input_file(path, &size)) {
        return kExitTrouble;
    }
    std::string comment;
    if (const int st = package_comment(path, opt.version, opt.trustedExtra, timestamp, comment);
        st != kExitOk) {
        return st;
    }
    char *raw = nullptr;
    char id[RERAZERA_KEY_ID_TEXT_SIZE];
    std::int32_t r = RERAZERA_SIGN_INVALID_ARGUMENT;
    if (signer.key != nullptr) {
        r = rerazera_sign_file(signer.key, path.c_str(), comment.c_str(), opt.untrusted.c_str(),
                               &raw);
        rerazera_secret_key_id(signer.key, id);
    } else {
        r = rerazera_sign_file_external(signer.publicPath.c_str(), signer.fn, signer.ctx,
                                        path.c_str(), comment.c_str(), opt.untrusted.c_str(), &raw,
                                        id);
    }
    if (r != RERAZERA_SIGN_OK) {
        std::string why = rerazera_sign_strerror(r);
        const std::string failure = signer.token               ? pkcs11_failure(*signer.token)
                                    : signer.helper != nullptr ? signer.helper->failure
                                                               : std::string();
        if (r == RERAZERA_SIGN_SIGNER_FAILED && !failure.empty()) {
            why += ": " + failure;
        }
        report_error(path, "not signed: " + why);
        return r == RERAZERA_SIGN_BAD_COMMENT ? kExitUsage : kExitTrouble;
    }
    const TextPtr text(raw, &std::free);
    const std::string sigPath = opt.sigPath.empty() ? path + ".minisig" : opt.sigPath;
    if (!write_signature(sigPath, text.get())) {
        return kExitTrouble;
    }
    if (opt.index) {
        // The fields after the package's file and size, for the index's comment.
        const std::string &all = comment;
        const std::size_t tail = all.find("\tproduct-type:");
        if (const int st = sign_index(signer, opt, path, all.substr(tail), timestamp);
            st != kExitOk) {
            return st;
        }
    }
    if (!quiet()) {
        std::printf("%s: signed by %s\n", escape(path).c_str(), id);
    }
    return kExitOk;
}

// --pkcs11 without -p: the token key's public key file, under a private
// temporary name for the signing call, removed when signing is done.
struct TokenKeyFile {
    std::string path;
    TokenKeyFile() = default;
    TokenKeyFile(const TokenKeyFile &) = delete;
    TokenKeyFile &operator=(const TokenKeyFile &) = delete;
    ~TokenKeyFile() {
        if (!path.empty()) {
            ::unlink(path.c_str());
        }
    }
};

// The token key, checked against -p's file or written to a temporary one.
std::shared_ptr<Pkcs11Key> open_token_key(const SignOptions &opt, TokenKeyFile &file) {
    if (!opt.publicPath.empty() && !check_input_file(opt.publicPath)) {
        return nullptr;
    }
    std::shared_ptr<Pkcs11Key> token = pkcs11_open(opt.pkcs11, opt.passwordFd);
    if (!token) {
        return nullptr;
    }
    if (!opt.publicPath.empty()) {
        return pkcs11_matches_key_file(*token, opt.publicPath) ? token : nullptr;
    }
    std::string id;
    const std::string text = pkcs11_public_key_file(*token, id);
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    if (ec) {
        dir = "/tmp";
    }
    std::string name = (dir / "rerazera-token-XXXXXX.pub").string();
    const int fd = ::mkstemps(name.data(), 4);
    if (fd < 0) {
        report_error(name, std::strerror(errno));
        return nullptr;
    }
    file.path = name;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (::close(fd) != 0 || !written) {
        report_error(name, std::strerror(errno));
        return nullptr;
    }
    return token;
}

int run_sign(const SignOptions &opt) {
    if (opt.prepare || !opt.attach.empty()) {
        if (opt.publicPath.empty() || opt.packages.size() != 1 || !opt.request.empty() ||
            opt.prepare == !opt.attach.empty()) {
            report_error(opt.prepare ? "--prepare" : "--attach",
                         "needs the public key file (-p) and one package, and no other mode");
            return kExitUsage;
        }
        if (!opt.attach.empty()) {
            return attach_response(opt.attach, opt.publicPath, opt.packages[0], opt.outPath);
        }
        // The comment's fields are checked as for sign; no key is read here.
        SignOptions fields = opt;
        fields.secretPath = "-";
        fields.publicPath.clear();
        if (!check_options(fields)) {
            return kExitUsage;
        }
        const std::optional<long long> timestamp = signing_time();
        std::string comment;
        if (!timestamp) {
            return kExitUsage;
        }
        if (const int st = package_comment(opt.packages[0], opt.version, opt.trustedExtra,
                                           *timestamp, comment);
            st != kExitOk) {
            return st;
        }
        return prepare_request(opt.publicPath, opt.packages[0], comment, opt.untrusted,
                               opt.outPath);
    }
    if (!opt.outPath.empty() && opt.request.empty()) {
        report_error("-o",
                     "names what --prepare, --sign-request or --attach writes; sign "
                     "names its signature with -x");
        return kExitUsage;
    }
    if (opt.request.empty() == opt.packages.empty()) {
        report_error("sign",
                     opt.request.empty() ? "give a package" : "--sign-request takes no package");
        return kExitUsage;
    }
    if (!check_options(opt)) {
        return kExitUsage;
    }
    const std::optional<long long> timestamp = signing_time();
    if (!timestamp) {
        return kExitUsage;
    }
    SecretKeyPtr key(nullptr, &rerazera_secret_key_free);
    SigningHelper helper{opt.helper, {}};
    Signer signer;
    TokenKeyFile tokenFile;
    if (!opt.pkcs11.empty()) {
        if (!(signer.token = open_token_key(opt, tokenFile))) {
            return kExitUsage;
        }
        signer.fn = pkcs11_sign;
        signer.ctx = signer.token.get();
        signer.publicPath = opt.publicPath.empty() ? tokenFile.path : opt.publicPath;
    } else if (opt.helper.empty()) {
        if (!(key = load_secret_key(opt))) {
            return kExitUsage;
        }
        signer.key = key.get();
    } else {
        if (!check_input_file(opt.publicPath)) {
            return kExitUsage;
        }
        signer.helper = &helper;
        signer.ctx = &helper;
        signer.publicPath = opt.publicPath;
    }
    install_cleanup_handlers();
    if (!opt.request.empty()) {
        return sign_request(
            opt.request, signer.key, signer.fn, signer.ctx,
            [&] {
                return signer.token               ? pkcs11_failure(*signer.token)
                       : signer.helper != nullptr ? signer.helper->failure
                                                  : std::string();
            },
            signer.publicPath, opt.outPath);
    }
    int status = kExitOk;
    for (const std::string &path : opt.packages) {
        status = std::max(status, sign_one(signer, opt, path, *timestamp));
    }
    return status;
}

}  // namespace

void add_sign(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<SignOptions>();
    CLI::App *cmd = app.add_subcommand(
        "sign", "Write PACKAGE.minisig, a detached minisign signature, for each package");
    CLI::Option *secret = cmd->add_option("-s,--secret", opt->secretPath, "Secret key file");
    CLI::Option *helper =
        cmd->add_option("--signing-helper", opt->helper,
                        "Sign with this command instead of a secret key: run by /bin/sh once per "
                        "signature, it reads the bytes to sign on standard input and writes the "
                        "64-byte Ed25519 signature to standard output");
    CLI::Option *pkcs11 =
        cmd->add_option("--pkcs11", opt->pkcs11,
                        "Sign with the Ed25519 key in a PKCS#11 token that this URI (RFC 7512) "
                        "names; its PIN from the URI, --password-fd or the terminal");
    cmd->add_option("-p,--public", opt->publicPath,
                    "The public key file of the signing helper's or token's key");
    cmd->add_option("packages", opt->packages, "Package files");
    CLI::Option *prepare =
        cmd->add_flag("--prepare", opt->prepare,
                      "Write PACKAGE.sigreq, what a signer elsewhere signs, instead of a signature "
                      "(needs -p)");
    CLI::Option *request =
        cmd->add_option("--sign-request", opt->request,
                        "Sign this request (from --prepare) and write its .sigresp, a minisign "
                        "signature; no package");
    CLI::Option *attach =
        cmd->add_option("--attach", opt->attach,
                        "Check this response (from --sign-request) against the package and -p, "
                        "then write PACKAGE.minisig");
    cmd->add_option("-o,--output", opt->outPath,
                    "The file --prepare, --sign-request or --attach writes");
    CLI::Option *passwordFd =
        cmd->add_option("--password-fd", opt->passwordFd,
                        "Read the secret key's password (or the token's PIN) from this descriptor "
                        "instead of the terminal")
            ->check(CLI::Range(0, 1 << 20));
    CLI::Option *version =
        cmd->add_option("--version", opt->version,
                        "Record this release version (dotted integers) in the trusted comment");
    CLI::Option *trusted =
        cmd->add_option("-t,--trusted-comment", opt->trustedExtra,
                        "More key:value fields (tab-separated) for the trusted comment");
    CLI::Option *untrusted = cmd->add_option("-c,--untrusted-comment", opt->untrusted,
                                             "The signature file's untrusted comment");
    CLI::Option *sig = cmd->add_option(
        "-x,--sig", opt->sigPath, "Signature file to write (one package; default PACKAGE.minisig)");
    CLI::Option *index =
        cmd->add_flag("--index", opt->index,
                      "Also write PACKAGE.index (a digest of every 1 MiB block) and its signature "
                      "PACKAGE.index.minisig, for verify --stream --index");
    cmd->add_option("--index-digest", opt->indexDigest, "The index's digest (default blake2b-256)")
        ->check(CLI::IsMember({"blake2b-256", "sha-256"}))
        ->needs("--index");
    // What a mode would silently ignore is refused instead: a request fixes
    // the comments, --prepare signs nothing, --attach only checks and copies.
    for (CLI::Option *o : {trusted, untrusted, version, sig, index}) {
        request->excludes(o);
        attach->excludes(o);
    }
    for (CLI::Option *o : {secret, helper, pkcs11, passwordFd, sig, index}) {
        prepare->excludes(o);
    }
    for (CLI::Option *o : {secret, helper, pkcs11, passwordFd}) {
        attach->excludes(o);
    }
    cmd->footer(
        "Exit status: 0 every package signed, 1 a package failed its checks or a signing "
        "request or response was refused (another key, package or comment), 2 usage error, "
        "unusable secret key, a package that cannot be read or a signature that cannot be "
        "written.");
    cmd->callback([opt, &run] { run = [opt] { return run_sign(*opt); }; });
}

}  // namespace rztool
