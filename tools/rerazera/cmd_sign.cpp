// SPDX-License-Identifier: MIT
// rerazera sign -s KEY.sec PACKAGE...: a detached PACKAGE.minisig for each
// package, in minisign's prehashed format ("ED"), so that `minisign -V`
// checks it as well as `rerazera verify`. Its trusted comment records the
// package's file name, size, product type and a timestamp as tab-separated
// key:value fields; the timestamp is SOURCE_DATE_EPOCH when that is set, so
// that a reproducible build signs reproducibly.
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <variant>

#include "output.hpp"
#include "password.hpp"
#include "rerazera.h"
#include "sign/file_io.hpp"
#include "sign/secret_key.hpp"
#include "sign/signature_file.hpp"
#include "sign/signing.hpp"
#include "tool.hpp"

namespace rztool {
namespace {

namespace rs = rerazera::sign;

struct SignOptions {
    std::string secretPath;
    std::vector<std::string> packages;
    int passwordFd = -1;
};

constexpr char kUntrustedComment[] = "signature from rerazera secret key";

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

std::optional<rs::SecretKey> load_secret_key(const SignOptions &opt) {
    std::string content;
    if (rs::read_small_file(opt.secretPath.c_str(), 4096, content) != rs::ReadStatus::Ok) {
        report_error(opt.secretPath, "cannot read it as a secret key file");
        return std::nullopt;
    }
    std::optional<std::string> password;
    if (rs::secret_key_file_encrypted(content)) {
        password = read_password(opt.passwordFd, "Password for the secret key: ", false);
        if (!password) {
            return std::nullopt;
        }
    }
    auto parsed = rs::parse_secret_key_file(content, password ? &*password : nullptr);
    if (password) {
        wipe(*password);
    }
    if (auto *key = std::get_if<rs::SecretKey>(&parsed)) {
        return std::move(*key);
    }
    switch (std::get<rs::SecretKeyProblem>(parsed)) {
        case rs::SecretKeyProblem::WrongPassword:
            report_error(opt.secretPath, "wrong password");
            break;
        case rs::SecretKeyProblem::KdfFailed:
            report_error(opt.secretPath, "the key derivation failed (not enough memory)");
            break;
        default:
            report_error(opt.secretPath, "not a minisign secret key");
            break;
    }
    return std::nullopt;
}

// Signs one package; false after reporting why not.
bool sign_one(const rs::SecretKey &key, const std::string &path, long long timestamp) {
    if (!check_input_file(path)) {
        return false;
    }
    // Only a package that passes its own checks is worth a signature.
    char msg[512] = "";
    if (const std::int32_t r = QVPKG_ChkQVFileInfo(path.c_str(), msg, sizeof msg); r != QVPKG_OK) {
        report_error(path, "not signed, the package fails its checks: " + std::string(msg));
        return false;
    }
    std::uint32_t productType = 0;
    if (QVPKG_ExtractProductTypeFromQV(path.c_str(), &productType) != QVPKG_OK) {
        report_error(path, "not signed, its product type cannot be read");
        return false;
    }
    const std::string name = std::filesystem::path(path).filename().string();
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            report_error(path, "not signed, its file name holds a control character");
            return false;
        }
    }
    const rs::FileView view = rs::FileView::map(path.c_str());
    if (!view.ok()) {
        report_error(path, std::strerror(errno));
        return false;
    }
    std::ostringstream comment;
    comment << "timestamp:" << timestamp << "\tfile:" << name << "\tsize:" << view.size()
            << "\tproduct-type:" << productType;
    const rs::SignatureFile sig = rs::sign_bytes(key, view.data(), view.size(), comment.str());
    const std::string text = rs::format_signature_file(sig, kUntrustedComment);

    const std::string sigPath = path + ".minisig";
    StagedFile staged(sigPath);
    if (!staged.ok()) {
        report_error(sigPath, staged.error());
        return false;
    }
    std::ofstream out(staged.temp_path(), std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out || !staged.commit(true)) {
        report_error(sigPath, out ? staged.error() : "cannot write it");
        return false;
    }
    std::printf("%s: signed by %s\n", path.c_str(), rs::key_id_text(key.id).c_str());
    return true;
}

int run_sign(const SignOptions &opt) {
    if (sodium_init() < 0) {
        report_error("sign", "libsodium cannot be initialised");
        return kExitUsage;
    }
    const std::optional<long long> timestamp = signing_time();
    if (!timestamp) {
        return kExitUsage;
    }
    const std::optional<rs::SecretKey> key = load_secret_key(opt);
    if (!key) {
        return kExitUsage;
    }
    install_cleanup_handlers();
    std::size_t failed = 0;
    for (const std::string &path : opt.packages) {
        failed += sign_one(*key, path, *timestamp) ? 0 : 1;
    }
    return failed == 0 ? kExitOk : kExitFailure;
}

}  // namespace

void add_sign(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<SignOptions>();
    CLI::App *cmd = app.add_subcommand(
        "sign", "Write PACKAGE.minisig, a detached minisign signature, for each package");
    cmd->add_option("-s,--secret", opt->secretPath, "Secret key file")->required();
    cmd->add_option("packages", opt->packages, "Package files")->required();
    cmd->add_option("--password-fd", opt->passwordFd,
                    "Read the secret key's password from this descriptor instead of the terminal")
        ->check(CLI::Range(0, 1 << 20));
    cmd->footer(
        "Exit status: 0 every package signed, 1 a package failed its checks or could not "
        "be signed, 2 usage error or unusable secret key.");
    cmd->callback([opt, &run] { run = [opt] { return run_sign(*opt); }; });
}

}  // namespace rztool
