// SPDX-License-Identifier: MIT
// rerazera keygen -p KEY.pub -s KEY.sec: a key pair in minisign's files, so
// that minisign can sign and verify with it as well. The secret key is
// protected by a password the way minisign protects it (scrypt); with
// --unencrypted it is stored bare, like `minisign -G -W`. Both files are
// checked before either is written, written under temporary names, and put
// in place together: a failure leaves every existing file as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>

#include "output.hpp"
#include "password.hpp"
#include "pkcs11_signer.hpp"
#include "rerazera/sign.h"
#include "tool.hpp"

namespace rztool {
namespace {

struct KeygenOptions {
    std::string publicPath;
    std::string secretPath;
    bool unencrypted = false;
    bool force = false;
    int passwordFd = -1;
    std::string pkcs11;  // --pkcs11: the token key's public key only
};

// Why path cannot take a key file, or "": an existing entry is replaced
// only with force, and only when it is a regular file (never a link or a
// device).
std::string output_problem(const std::string &path, bool force) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return {};
    }
    if (!force) {
        return "exists (use --force to replace it)";
    }
    return S_ISREG(st.st_mode) ? std::string() : "exists and is not a regular file";
}

// Whether a and b name one file: the same device and inode when both exist
// (./k and k, a hard link, a symbolic link to the other), else the same
// name in the same directory once the directories are resolved.
bool same_file(const std::string &a, const std::string &b) {
    if (a == b) {
        return true;
    }
    struct stat sa {
    }, sb{};
    const bool hasA = ::stat(a.c_str(), &sa) == 0, hasB = ::stat(b.c_str(), &sb) == 0;
    if (hasA && hasB) {
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    const auto resolved = [](const std::string &path) {
        const std::filesystem::path p(path);
        std::error_code ec;
        const auto dir = std::filesystem::weakly_canonical(
            p.has_parent_path() ? p.parent_path() : std::filesystem::path("."), ec);
        return ec ? p : dir / p.filename();
    };
    return resolved(a) == resolved(b);
}

bool stage(StagedFile &file, const char *text) {
    const std::size_t n = std::strlen(text);
    if (!file.ok() || ::write(file.fd(), text, n) != static_cast<ssize_t>(n)) {
        report_error(file.final_path(), file.ok() ? std::strerror(errno) : file.error());
        return false;
    }
    return true;
}

// --pkcs11: the public key file of a key the token holds, with the key ID
// that sign --pkcs11 derives as well.
int run_keygen_token(const KeygenOptions &opt) {
    if (!opt.secretPath.empty()) {
        report_error("-s", "a token key has no secret key file; give -p only");
        return kExitUsage;
    }
    if (const std::string why = output_problem(opt.publicPath, opt.force); !why.empty()) {
        report_error(opt.publicPath, why);
        return kExitUsage;
    }
    const std::shared_ptr<Pkcs11Key> token = pkcs11_open(opt.pkcs11, opt.passwordFd);
    if (!token) {
        return kExitUsage;
    }
    std::string id;
    const std::string text = pkcs11_public_key_file(*token, id);
    install_cleanup_handlers();
    StagedFile pubFile(opt.publicPath);
    if (!stage(pubFile, text.c_str())) {
        return kExitUsage;
    }
    if (!pubFile.commit(opt.force, 0644)) {
        report_error(opt.publicPath, pubFile.error());
        return kExitUsage;
    }
    if (!quiet()) {
        std::cout << "key ID " << id << ": public key of the token's key in "
                  << escape(opt.publicPath) << '\n';
    }
    return kExitOk;
}

int run_keygen(const KeygenOptions &opt) {
    if (!opt.pkcs11.empty()) {
        return run_keygen_token(opt);
    }
    if (opt.secretPath.empty()) {
        report_error("-s", "the secret key file to write is required");
        return kExitUsage;
    }
    if (same_file(opt.publicPath, opt.secretPath)) {
        report_error(opt.secretPath, "names the public key file as well; give two files");
        return kExitUsage;
    }
    for (const std::string &path : {opt.publicPath, opt.secretPath}) {
        if (const std::string why = output_problem(path, opt.force); !why.empty()) {
            report_error(path, why);
            return kExitUsage;
        }
    }
    std::optional<std::string> password;
    if (!opt.unencrypted) {
        password = read_password(opt.passwordFd, "Password for the new secret key: ", true);
        if (!password) {
            return kExitUsage;
        }
    }
    char *pub = nullptr;
    char *sec = nullptr;
    char id[RERAZERA_KEY_ID_TEXT_SIZE];
    const std::int32_t r = rerazera_keygen(password ? password->c_str() : nullptr, &pub, &sec, id);
    if (password) {
        wipe(*password);
    }
    if (r != RERAZERA_SIGN_OK) {
        report_error("keygen", rerazera_sign_strerror(r));
        return kExitUsage;
    }
    const std::unique_ptr<char, decltype(&std::free)> pubText(pub, &std::free);
    const std::unique_ptr<char, decltype(&rerazera_secret_text_free)> secText(
        sec, &rerazera_secret_text_free);
    install_cleanup_handlers();
    StagedFile secFile(opt.secretPath);
    StagedFile pubFile(opt.publicPath);
    if (!stage(secFile, secText.get()) || !stage(pubFile, pubText.get())) {
        return kExitUsage;
    }
    if (!secFile.commit(opt.force, 0600)) {
        report_error(opt.secretPath, secFile.error());
        return kExitUsage;
    }
    if (!pubFile.commit(opt.force, 0644)) {
        report_error(opt.publicPath, pubFile.error());
        return kExitUsage;
    }
    if (!quiet()) {
        std::cout << "key ID " << id << ": public key in " << escape(opt.publicPath)
                  << ", secret key in " << escape(opt.secretPath)
                  << (opt.unencrypted ? " (not encrypted)" : "") << '\n';
    }
    return kExitOk;
}

}  // namespace

void add_keygen(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<KeygenOptions>();
    CLI::App *cmd = app.add_subcommand(
        "keygen", "Make a signing key pair in minisign's format (minisign can use it too)");
    cmd->add_option("-p,--public", opt->publicPath, "Public key file to write")->required();
    cmd->add_option("-s,--secret", opt->secretPath, "Secret key file to write (mode 0600)");
    cmd->add_option("--pkcs11", opt->pkcs11,
                    "Write only the public key file of the Ed25519 key in a PKCS#11 token "
                    "that this URI names (no -s)");
    cmd->add_flag("--unencrypted", opt->unencrypted, "Store the secret key without a password");
    cmd->add_option("--password-fd", opt->passwordFd,
                    "Read the password from this descriptor instead of the terminal")
        ->check(CLI::Range(0, 1 << 20));
    cmd->add_flag("-f,--force", opt->force, "Replace existing key files");
    cmd->footer("Exit status: 0 key pair written, 2 usage error or a file could not be written.");
    cmd->callback([opt, &run] { run = [opt] { return run_keygen(*opt); }; });
}

}  // namespace rztool
