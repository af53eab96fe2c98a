// SPDX-License-Identifier: MIT
// Signature checks of a 1 GiB package hot in the page cache, next to what
// they cannot avoid, measured in the same run: a b2sum-style BLAKE2b-512
// pass over the file through libsodium (read in 1 MiB blocks), and that pass
// followed by the library's package check (QVPKG_ChkQVFileInfo). The signed
// package check hashes and walks one mapping, so it should cost no more than
// the two passes made one after the other.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gib_package.hpp"
#include "ratio.hpp"
#include "rerazera.h"
#include "rerazera/sign.h"
#include "sign/file_io.hpp"
#include "sign/public_key.hpp"
#include "sign/secret_key.hpp"
#include "sign/signing.hpp"
#include "writer/package_writer.hpp"

namespace {

// The signed package and a keyring that trusts its key, made on first use;
// the files are removed at exit.
class SignedPackage {
  public:
    static const SignedPackage &get() {
        static SignedPackage package;
        return package;
    }
    std::string path;
    rerazera_keyring *ring = nullptr;

  private:
    SignedPackage() {
        if (sodium_init() < 0) {
            std::fputs("libsodium cannot be initialised\n", stderr);
        }
        path = "/tmp/rerazera-sign-bench-" + std::to_string(::getpid()) + ".qv";
        (void)rzbench::write_package(path, rzbench::gib_package(0x2545F491u));
        const int fd = ::open(path.c_str(), O_RDONLY);
        if (fd >= 0) {
            ::fsync(fd);  // no writeback during the measurements
            ::close(fd);
        }
        const rerazera::sign::SecretKey key = rerazera::sign::SecretKey::generate();
        const rerazera::sign::FileView view = rerazera::sign::FileView::map(path.c_str());
        const auto sig = rerazera::sign::sign_bytes(key, view.data(), view.size(), "bench");
        FILE *out = std::fopen((path + ".minisig").c_str(), "w");
        if (out != nullptr) {
            std::fputs(rerazera::sign::format_signature_file(sig, "bench").c_str(), out);
            std::fclose(out);
        }
        const std::string pub = rerazera::sign::format_public_key_file(key.public_key());
        (void)rerazera_keyring_new(&ring);
        (void)rerazera_keyring_add_base64(ring, pub.substr(pub.find('\n') + 1).c_str());
    }
    ~SignedPackage() {
        rerazera_keyring_free(ring);
        std::remove(path.c_str());
        std::remove((path + ".minisig").c_str());
    }
};

// What b2sum does: read the file in blocks and hash them.
bool blake2b_file(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return false;
    }
    static thread_local std::vector<unsigned char> block(std::size_t{1} << 20);
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, 64);
    ssize_t n = 0;
    while ((n = ::read(fd, block.data(), block.size())) > 0) {
        crypto_generichash_update(&state, block.data(), static_cast<unsigned long long>(n));
    }
    ::close(fd);
    unsigned char digest[64];
    crypto_generichash_final(&state, digest, sizeof digest);
    benchmark::DoNotOptimize(digest);
    return n == 0;
}

void BM_Blake2b(benchmark::State &state) {
    const SignedPackage &p = SignedPackage::get();
    for (auto _ : state) {
        if (!blake2b_file(p.path)) {
            state.SkipWithError("cannot read the package");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

void BM_Blake2bThenCheck(benchmark::State &state) {
    const SignedPackage &p = SignedPackage::get();
    for (auto _ : state) {
        char msg[256] = "";
        if (!blake2b_file(p.path) || QVPKG_ChkQVFileInfo(p.path.c_str(), msg, sizeof msg) != 0) {
            state.SkipWithError(msg);
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

void BM_VerifySignature(benchmark::State &state) {
    const SignedPackage &p = SignedPackage::get();
    for (auto _ : state) {
        const std::int32_t r =
            rerazera_verify_signature(p.ring, p.path.c_str(), nullptr, 0, nullptr);
        if (r != RERAZERA_SIGN_OK) {
            state.SkipWithError(rerazera_sign_strerror(r));
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

void BM_VerifySignedPackage(benchmark::State &state) {
    const SignedPackage &p = SignedPackage::get();
    for (auto _ : state) {
        char msg[256] = "";
        const std::int32_t r = rerazera_verify_package(p.ring, p.path.c_str(), nullptr, 0, msg,
                                                       sizeof msg, nullptr, nullptr);
        if (r != RERAZERA_SIGN_OK) {
            state.SkipWithError(rerazera_sign_strerror(r));
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

constexpr int kReps = 3;

void settings(benchmark::internal::Benchmark *b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(kReps)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_Blake2b)->Apply(settings);
BENCHMARK(BM_Blake2bThenCheck)->Apply(settings);
BENCHMARK(BM_VerifySignature)->Apply(settings);
BENCHMARK(BM_VerifySignedPackage)->Apply(settings);

#define RUN(name) #name "/repeats:3/real_time"
const bool kRatios =
    rzbench::add_ratio("signed package check / (BLAKE2b pass + package check)",
                       RUN(BM_VerifySignedPackage), RUN(BM_Blake2bThenCheck), 1.15) &&
    rzbench::add_ratio("signature check / BLAKE2b pass", RUN(BM_VerifySignature),
                       RUN(BM_Blake2b)) &&
    rzbench::add_ratio("signed package check / signature check", RUN(BM_VerifySignedPackage),
                       RUN(BM_VerifySignature));
#undef RUN

}  // namespace
