// SPDX-License-Identifier: MIT
// rerazera keygen -p KEY.pub -s KEY.sec: a key pair in minisign's files, so
// that minisign can sign and verify with it as well. The secret key is
// protected by a password the way minisign protects it (scrypt); with
// --unencrypted it is stored bare, like `minisign -G -W`.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <variant>

#include "password.hpp"
#include "sign/public_key.hpp"
#include "sign/secret_key.hpp"
#include "tool.hpp"

namespace rztool {
namespace {

struct KeygenOptions {
    std::string publicPath;
    std::string secretPath;
    bool unencrypted = false;
    bool force = false;
    int passwordFd = -1;
};

// Writes a whole new file with the given permission bits; an existing one
// is replaced only with force.
bool write_key_file(const std::string &path, const std::string &content, mode_t mode, bool force) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (force ? O_TRUNC : O_EXCL);
    const int fd = ::open(path.c_str(), flags, mode);
    if (fd < 0) {
        report_error(path,
                     errno == EEXIST ? "exists (use --force to replace it)" : std::strerror(errno));
        return false;
    }
    // A replaced file keeps its old bits unless they are set again.
    const bool written = ::fchmod(fd, mode) == 0 && ::write(fd, content.data(), content.size()) ==
                                                        static_cast<ssize_t>(content.size());
    const int saved = errno;
    if (::close(fd) != 0 || !written) {
        report_error(path, std::strerror(written ? errno : saved));
        return false;
    }
    return true;
}

int run_keygen(const KeygenOptions &opt) {
    if (sodium_init() < 0) {
        report_error("keygen", "libsodium cannot be initialised");
        return kExitUsage;
    }
    if (!opt.force) {
        for (const std::string &path : {opt.publicPath, opt.secretPath}) {
            if (::access(path.c_str(), F_OK) == 0) {
                report_error(path, "exists (use --force to replace it)");
                return kExitUsage;
            }
        }
    }
    std::optional<std::string> password;
    if (!opt.unencrypted) {
        password = read_password(opt.passwordFd, "Password for the new secret key: ", true);
        if (!password) {
            return kExitUsage;
        }
    }
    const rerazera::sign::SecretKey key = rerazera::sign::SecretKey::generate();
    auto secretFile = rerazera::sign::format_secret_key_file(key, password ? &*password : nullptr);
    if (password) {
        wipe(*password);
    }
    if (std::holds_alternative<rerazera::sign::SecretKeyProblem>(secretFile)) {
        report_error("keygen", "the key derivation failed (not enough memory)");
        return kExitUsage;
    }
    std::string &secretText = std::get<std::string>(secretFile);
    const bool ok =
        write_key_file(opt.secretPath, secretText, 0600, opt.force) &&
        write_key_file(opt.publicPath, rerazera::sign::format_public_key_file(key.public_key()),
                       0644, opt.force);
    wipe(secretText);
    if (!ok) {
        return kExitUsage;
    }
    std::cout << "key ID " << rerazera::sign::key_id_text(key.id) << ": public key in "
              << opt.publicPath << ", secret key in " << opt.secretPath
              << (opt.unencrypted ? " (not encrypted)" : "") << '\n';
    return kExitOk;
}

}  // namespace

void add_keygen(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<KeygenOptions>();
    CLI::App *cmd = app.add_subcommand(
        "keygen", "Make a signing key pair in minisign's format (minisign can use it too)");
    cmd->add_option("-p,--public", opt->publicPath, "Public key file to write")->required();
    cmd->add_option("-s,--secret", opt->secretPath, "Secret key file to write (mode 0600)")
        ->required();
    cmd->add_flag("--unencrypted", opt->unencrypted, "Store the secret key without a password");
    cmd->add_option("--password-fd", opt->passwordFd,
                    "Read the password from this descriptor instead of the terminal")
        ->check(CLI::Range(0, 1 << 20));
    cmd->add_flag("-f,--force", opt->force, "Replace existing key files");
    cmd->footer("Exit status: 0 key pair written, 2 usage error or a file could not be written.");
    cmd->callback([opt, &run] { run = [opt] { return run_keygen(*opt); }; });
}

}  // namespace rztool
