// SPDX-License-Identifier: MIT
// The strict stream (each 1 MiB block proven against a signed index before
// it reaches the sink) next to the plain streaming verifier, both fed the
// same 1 GiB package from memory in 1 MiB pieces, in the same run. The
// difference is the price of proving origin block by block: one BLAKE2b-256
// pass and one copy into the block buffer. Linked with the shared libraries,
// as a host program would be.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gib_package.hpp"
#include "ratio.hpp"
#include "rerazera.h"
#include "rerazera/package.h"
#include "rerazera/sign.h"
#include "stream/plain_stream.hpp"

namespace {

constexpr std::size_t kPiece = rzbench::kStreamPiece;

// The package in memory and its index (built from a file under /tmp,
// removed once the index is made).
class Indexed {
  public:
    static const Indexed &get() {
        static const Indexed package;
        return package;
    }
    std::vector<std::uint8_t> bytes = rzbench::gib_package();
    rerazera_index *index = nullptr;

  private:
    Indexed() {
        const std::string path = "/tmp/rerazera-index-bench-" + std::to_string(::getpid()) + ".qv";
        char *text = nullptr;
        std::size_t len = 0;
        if (rzbench::write_package(path, bytes) &&
            rerazera_index_build(path.c_str(), RERAZERA_INDEX_BLAKE2B_256, 0, &text, &len) ==
                RERAZERA_SIGN_OK) {
            (void)rerazera_index_parse(text, len, &index);
        }
        std::free(text);
        std::remove(path.c_str());
    }
    ~Indexed() { rerazera_index_free(index); }
};

// A sink that touches what it is given, as a writer to flash would read it.
int sink(void *ctx, const void *data, std::size_t len) {
    *static_cast<std::uint64_t *>(ctx) += static_cast<const std::uint8_t *>(data)[len - 1];
    return 0;
}

void BM_PlainStream(benchmark::State &state) {
    const Indexed &pkg = Indexed::get();
    for (auto _ : state) {
        if (!rzbench::plain_stream_accepts(pkg.bytes)) {
            state.SkipWithError("the stream refused the package");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

void BM_StrictStream(benchmark::State &state) {
    const Indexed &pkg = Indexed::get();
    if (pkg.index == nullptr) {
        state.SkipWithError("no index");
        return;
    }
    std::uint64_t touched = 0;
    for (auto _ : state) {
        rerazera_signed_stream *s = nullptr;
        if (rerazera_signed_stream_new(pkg.index, sink, &touched, nullptr, &s) !=
            RERAZERA_SIGN_OK) {
            state.SkipWithError("no strict stream");
            break;
        }
        for (std::size_t at = 0; at < pkg.bytes.size(); at += kPiece) {
            (void)rerazera_signed_stream_feed(s, pkg.bytes.data() + at,
                                              std::min(kPiece, pkg.bytes.size() - at));
        }
        int32_t code = -1;
        const int32_t r = rerazera_signed_stream_finish(s, nullptr, 0, &code);
        rerazera_signed_stream_free(s);
        if (r != RERAZERA_SIGN_OK || code != QVPKG_OK) {
            state.SkipWithError("the strict stream refused the package");
            break;
        }
    }
    benchmark::DoNotOptimize(touched);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

// What proving cannot avoid: one BLAKE2b-256 per 1 MiB block over the
// same bytes, with nothing else.
void BM_BlockDigests(benchmark::State &state) {
    const Indexed &pkg = Indexed::get();
    std::uint8_t out[32];
    for (auto _ : state) {
        for (std::size_t at = 0; at < pkg.bytes.size(); at += kPiece) {
            crypto_generichash(out, sizeof out, pkg.bytes.data() + at,
                               std::min(kPiece, pkg.bytes.size() - at), nullptr, 0);
            benchmark::DoNotOptimize(out);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

BENCHMARK(BM_BlockDigests)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainStream)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StrictStream)->Unit(benchmark::kMillisecond)->UseRealTime();

const bool kRatio = rzbench::add_ratio("strict stream, signed index / plain stream",
                                       "BM_StrictStream/real_time", "BM_PlainStream/real_time");
// The strict stream's cost over the hashing it cannot avoid: the plain
// stream's verifying and the copy into the block buffer come on top.
const bool kHashRatio =
    rzbench::add_ratio("strict stream / block digests alone", "BM_StrictStream/real_time",
                       "BM_BlockDigests/real_time");

}  // namespace
