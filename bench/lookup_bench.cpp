// SPDX-License-Identifier: MIT
// The ID lookup in a package whose extension lists 1,048,575 extend
// subfiles (a 25 MB second table), looking up the last one, against floors
// measured in the same run: pread-ing the table into a reused buffer and
// summing it, and reading it whole into a fresh buffer.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ratio.hpp"
#include "rerazera.h"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::Package;
using rerazera::writer::PackageBuilder;
using rerazera::writer::RawDesc;
using rerazera::writer::SubFile;

constexpr std::uint32_t kFirstExtId = 0x100000;

// One package for the whole run, in a scratch directory removed at exit.
struct LargePackage {
    std::string dir;
    std::string path;
    std::uint32_t tableOffset = 0;
    std::uint32_t tableSize = 0;
    std::uint32_t dummyOffset = 0;
    std::uint32_t lastId = 0;

    LargePackage() {
        char tmpl[] = "/tmp/rerazera-bench-XXXXXX";
        dir = ::mkdtemp(tmpl);
        path = dir + "/large.qv";
        PackageBuilder b;
        for (std::uint32_t i = 0; i < 255; ++i) {
            // Built in place rather than as "h" + ...: GCC 12 at -O3 warns
            // (-Wrestrict) about its own inlined insert in the other form.
            std::string name = std::to_string(i);
            name.insert(name.begin(), 'h');
            b.add(SubFile{0x1000 + i, name, "", {}, 0, 0});
        }
        for (std::uint32_t i = 0; i < EXT_MAX_FILE_NUM; ++i) {
            b.add_extend_raw(RawDesc{kFirstExtId + i, i, 352, 0, 0, 0});
        }
        const Package pkg = b.build();
        pkg.write(path);
        tableOffset = pkg.tableOffset;
        tableSize = QVPKG_2ND_TABLE_SIZE(pkg.extCount);
        dummyOffset = pkg.dummyOffset;
        lastId = kFirstExtId + EXT_MAX_FILE_NUM - 1;
    }
    ~LargePackage() {
        ::unlink(path.c_str());
        ::rmdir(dir.c_str());
    }
};

const LargePackage &large() {
    static const LargePackage pkg;
    return pkg;
}

void BM_LookupLastExtend(benchmark::State &state) {
    const LargePackage &pkg = large();
    QVFileDesc info{};
    for (auto _ : state) {
        const std::int32_t r =
            QVPKG_GetQVFileInfo(pkg.path.c_str(), &info, static_cast<std::int32_t>(pkg.lastId));
        if (r != QVPKG_OK || info.fileId != pkg.lastId) {
            state.SkipWithError("lookup failed");
            break;
        }
        benchmark::DoNotOptimize(info);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * pkg.tableSize);
}
BENCHMARK(BM_LookupLastExtend)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same lookup composed from the public pieces the way the table is read
// when it is loaded whole: one allocation and one read of the table, then
// the check and a scan.
void BM_LookupWholeTable(benchmark::State &state) {
    const LargePackage &pkg = large();
    for (auto _ : state) {
        QVFileDesc ext{};
        BinHeader dummy{};
        char msg[QVPKG_MSG_BUF_LEN] = "";
        QVHeader *header = QVPKG_GetQVHeader(pkg.path.c_str());
        std::free(header);
        if (QVPKG_isExtendFileExist(pkg.path.c_str(), &ext) != QVPKG_OK ||
            QVPKG_ReadFileByOffset(pkg.path.c_str(), static_cast<std::int32_t>(ext.offset), &dummy,
                                   sizeof dummy) != QVPKG_OK ||
            QVPKG_isValidExtQV(&ext, &dummy, msg, sizeof msg) != QVPKG_OK) {
            state.SkipWithError("extension refused");
            break;
        }
        SecondFileDescTable *table = QVPKG_Get2ndFileDescContent(pkg.path.c_str(), &ext, &dummy);
        if (table == nullptr || QVPKG_Chk2ndFileDesc(&dummy, table, msg, sizeof msg) != QVPKG_OK) {
            std::free(table);
            state.SkipWithError("table refused");
            break;
        }
        std::uint32_t found = 0;
        const std::uint32_t n = EXT_MAX_FILE_NUM;
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint8_t *id = table->fileDesc[i];
            const std::uint32_t v = (std::uint32_t{id[0]} << 24) | (std::uint32_t{id[1]} << 16) |
                                    (std::uint32_t{id[2]} << 8) | id[3];
            if (v == pkg.lastId) {
                found = i;
                break;
            }
        }
        benchmark::DoNotOptimize(found);
        std::free(table);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * pkg.tableSize);
}
BENCHMARK(BM_LookupWholeTable)->Unit(benchmark::kMillisecond)->UseRealTime();

// Floor: open, pread the table into a buffer reused across iterations, sum it.
void BM_FloorPreadSum(benchmark::State &state) {
    const LargePackage &pkg = large();
    std::vector<std::uint64_t> buffer(pkg.tableSize / 8 + 1);
    for (auto _ : state) {
        const int fd = ::open(pkg.path.c_str(), O_RDONLY | O_CLOEXEC);
        const ssize_t got = ::pread(fd, buffer.data(), pkg.tableSize, pkg.tableOffset);
        ::close(fd);
        if (got != static_cast<ssize_t>(pkg.tableSize)) {
            state.SkipWithError("short read");
            break;
        }
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < pkg.tableSize / 8; ++i) {
            sum += buffer[i];
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * pkg.tableSize);
}
BENCHMARK(BM_FloorPreadSum)->Unit(benchmark::kMillisecond)->UseRealTime();

// Floor: read the table from disk into a fresh zero-filled buffer, as a
// whole-table reader must.
void BM_FloorReadWholeTable(benchmark::State &state) {
    const LargePackage &pkg = large();
    for (auto _ : state) {
        auto *buffer = static_cast<std::uint8_t *>(std::malloc(pkg.tableSize));
        std::memset(buffer, 0, pkg.tableSize);
        const int fd = ::open(pkg.path.c_str(), O_RDONLY | O_CLOEXEC);
        const ssize_t got = ::pread(fd, buffer, pkg.tableSize, pkg.tableOffset);
        ::close(fd);
        benchmark::DoNotOptimize(buffer[pkg.tableSize - 1]);
        std::free(buffer);
        if (got != static_cast<ssize_t>(pkg.tableSize)) {
            state.SkipWithError("short read");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * pkg.tableSize);
}
BENCHMARK(BM_FloorReadWholeTable)->Unit(benchmark::kMillisecond)->UseRealTime();

const bool kRatios = [] {
    rzbench::add_ratio("lookup last extend / pread+sum table", "BM_LookupLastExtend/real_time",
                       "BM_FloorPreadSum/real_time", 3.0);
    rzbench::add_ratio("lookup last extend / read whole table", "BM_LookupLastExtend/real_time",
                       "BM_FloorReadWholeTable/real_time", 3.0);
    rzbench::add_ratio("whole-table lookup / pread+sum table", "BM_LookupWholeTable/real_time",
                       "BM_FloorPreadSum/real_time");
    return true;
}();

}  // namespace
