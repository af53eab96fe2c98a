// Every CRC-16 kernel against one bit-by-bit reference: all lengths and
// start offsets, buffers that touch an unmapped page on either side,
// continuation at every split point; kernels this CPU cannot run are skipped.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "format/crc.hpp"
#include "format/crc_kernels.hpp"
#include "rerazera.h"

namespace rerazera {
// Test names and failure messages show the kernel's name.
void PrintTo(const CrcKernel &kernel, std::ostream *os) {
    *os << kernel.name;
}
}  // namespace rerazera

namespace {

using rerazera::CrcKernel;

// Straight from the definition: each byte enters the top of the register,
// then eight shifts, XORing the polynomial whenever a one falls out.
std::uint16_t bitwise_crc(std::uint16_t crc, const std::uint8_t *data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            const bool top = (crc & 0x8000) != 0;
            crc = static_cast<std::uint16_t>(crc << 1);
            if (top) {
                crc = static_cast<std::uint16_t>(crc ^ 0x1021);
            }
        }
    }
    return crc;
}

std::vector<std::uint8_t> random_bytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<std::uint8_t> out(size);
    for (auto &b : out) {
        b = static_cast<std::uint8_t>(gen());
    }
    return out;
}

// A region of whole pages with an inaccessible page on each side: reading a
// byte before begin() or from end() on faults.
class GuardedPages {
  public:
    explicit GuardedPages(std::size_t pages)
        : page_(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))), size_(pages * page_) {
        void *m = ::mmap(nullptr, size_ + 2 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) {
            return;
        }
        base_ = static_cast<std::uint8_t *>(m);
        if (::mprotect(base_ + page_, size_, PROT_READ | PROT_WRITE) != 0) {
            ::munmap(base_, size_ + 2 * page_);
            base_ = nullptr;
        }
    }
    ~GuardedPages() {
        if (base_ != nullptr) {
            ::munmap(base_, size_ + 2 * page_);
        }
    }
    GuardedPages(const GuardedPages &) = delete;
    GuardedPages &operator=(const GuardedPages &) = delete;

    [[nodiscard]] bool ok() const { return base_ != nullptr; }
    [[nodiscard]] std::uint8_t *begin() const { return base_ + page_; }
    [[nodiscard]] std::uint8_t *end() const { return base_ + page_ + size_; }
    [[nodiscard]] std::size_t size() const { return size_; }

  private:
    std::size_t page_;
    std::size_t size_;
    std::uint8_t *base_ = nullptr;
};

class CrcKernelTest : public ::testing::TestWithParam<CrcKernel> {
  protected:
    void SetUp() override {
        if (!GetParam().usable()) {
            GTEST_SKIP() << "this CPU cannot run the " << GetParam().name << " kernel";
        }
    }
    static std::uint16_t run(std::uint16_t crc, const std::uint8_t *data, std::size_t size) {
        return GetParam().update(crc, data, size);
    }
};

TEST_P(CrcKernelTest, CheckValueAndContinuedRegister) {
    const auto *digits = reinterpret_cast<const std::uint8_t *>("123456789");
    EXPECT_EQ(run(0, digits, 9), 0x31C3);
    EXPECT_EQ(run(0, digits, 0), 0);
    EXPECT_EQ(run(0x1234, nullptr, 0), 0x1234);  // nothing read, register unchanged

    // Long runs of zeros keep a zero register at zero.
    const std::vector<std::uint8_t> zeros(6176, 0);
    EXPECT_EQ(run(0, zeros.data(), zeros.size()), 0);
}

TEST_P(CrcKernelTest, EveryLengthMatchesTheBitwiseReference) {
    const auto data = random_bytes(1300, 1);
    for (std::size_t len = 0; len <= data.size(); ++len) {
        const auto start = static_cast<std::uint16_t>(len * 0x9E37u);
        ASSERT_EQ(run(0, data.data(), len), bitwise_crc(0, data.data(), len)) << "length " << len;
        ASSERT_EQ(run(start, data.data(), len), bitwise_crc(start, data.data(), len))
            << "length " << len << " from register " << start;
    }
}

TEST_P(CrcKernelTest, LargeBuffersMatchTheBitwiseReference) {
    const auto data = random_bytes((8u << 20) + 77, 2);
    for (std::size_t len : {std::size_t{1} << 20, (std::size_t{3} << 20) + 13, data.size()}) {
        EXPECT_EQ(run(0xBEEF, data.data(), len), bitwise_crc(0xBEEF, data.data(), len))
            << "length " << len;
    }
    const std::vector<std::uint8_t> ones(5u << 20, 0xFF);
    EXPECT_EQ(run(0, ones.data(), ones.size()), bitwise_crc(0, ones.data(), ones.size()));
}

TEST_P(CrcKernelTest, EveryStartOffset) {
    const auto data = random_bytes(64 + 4200, 3);
    for (std::size_t offset = 0; offset < 64; ++offset) {
        for (std::size_t len : {1,   15,  16,  17,  31,  32,  33,  63,   64,   65,  127,
                                128, 129, 255, 256, 257, 352, 383, 1000, 4096, 4111}) {
            const std::uint8_t *p = data.data() + offset;
            ASSERT_EQ(run(0, p, len), bitwise_crc(0, p, len))
                << "offset " << offset << " length " << len;
        }
    }
}

TEST_P(CrcKernelTest, BuffersTouchingUnmappedPages) {
    GuardedPages pages(3);
    ASSERT_TRUE(pages.ok());
    const auto fill = random_bytes(pages.size(), 4);
    std::memcpy(pages.begin(), fill.data(), fill.size());

    std::vector<std::size_t> lengths;
    for (std::size_t len = 0; len <= 700; ++len) {
        lengths.push_back(len);
    }
    for (std::size_t len : {1023, 1024, 1025, 4095, 4096, 4097, 8191, 8192, 12287}) {
        lengths.push_back(len);
    }
    lengths.push_back(pages.size());
    for (std::size_t len : lengths) {
        const std::uint8_t *tail = pages.end() - len;  // ends at the unmapped page
        ASSERT_EQ(run(7, tail, len), bitwise_crc(7, tail, len)) << "ending at edge, length " << len;
        const std::uint8_t *head = pages.begin();  // starts right after one
        ASSERT_EQ(run(7, head, len), bitwise_crc(7, head, len))
            << "starting at edge, length " << len;
    }
}

TEST_P(CrcKernelTest, ContinuesAcrossEverySplit) {
    const auto data = random_bytes(1100, 5);
    const std::uint16_t whole = bitwise_crc(0, data.data(), data.size());
    for (std::size_t split = 0; split <= data.size(); ++split) {
        const std::uint16_t first = run(0, data.data(), split);
        ASSERT_EQ(run(first, data.data() + split, data.size() - split), whole)
            << "split at " << split;
    }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, CrcKernelTest,
                         ::testing::ValuesIn(rerazera::crc_kernels().begin(),
                                             rerazera::crc_kernels().end()),
                         [](const ::testing::TestParamInfo<CrcKernel> &param) {
                             return std::string(param.param.name);
                         });

TEST(CrcDispatch, OverrideNamesAUsableKernelOrFallsBack) {
    const auto kernels = rerazera::crc_kernels();
    ASSERT_FALSE(kernels.empty());
    EXPECT_STREQ(kernels.front().name, "portable");

    const CrcKernel *automatic = &kernels.front();
    for (const CrcKernel &k : kernels) {
        if (k.usable()) {
            automatic = &k;
        }
    }
    EXPECT_EQ(&rerazera::crc_select_kernel(nullptr), automatic);
    EXPECT_EQ(&rerazera::crc_select_kernel(""), automatic);
    EXPECT_EQ(&rerazera::crc_select_kernel("avx9000"), automatic);
    EXPECT_EQ(&rerazera::crc_select_kernel("Portable"), automatic);  // names are exact
    for (const CrcKernel &k : kernels) {
        const CrcKernel &chosen = rerazera::crc_select_kernel(k.name);
        EXPECT_EQ(&chosen, k.usable() ? &k : automatic) << k.name;
    }

    const CrcKernel &active = rerazera::crc_active_kernel();
    EXPECT_TRUE(active.usable());
    const auto *digits = reinterpret_cast<const std::uint8_t *>("123456789");
    EXPECT_EQ(rerazera::crc16(digits, 9), 0x31C3) << "active kernel " << active.name;
}

// The override is read once per process, so each case runs this test
// program again with the variable set; the child only checks which kernel
// became active (told through RZTEST_EXPECT_CRC_KERNEL).
TEST(CrcDispatch, EnvironmentVariableForcesAKernel) {
    if (const char *expected = std::getenv("RZTEST_EXPECT_CRC_KERNEL")) {
        EXPECT_STREQ(rerazera::crc_active_kernel().name, expected);
        const auto *digits = reinterpret_cast<const std::uint8_t *>("123456789");
        EXPECT_EQ(rerazera::crc16(digits, 9), 0x31C3);
        return;
    }
    const CrcKernel &automatic = rerazera::crc_select_kernel(nullptr);
    std::vector<std::pair<std::string, std::string>> cases = {{"no-such-kernel", automatic.name}};
    for (const CrcKernel &k : rerazera::crc_kernels()) {
        cases.emplace_back(k.name, k.usable() ? k.name : automatic.name);
    }
    for (const auto &[requested, expected] : cases) {
        std::vector<std::string> env;
        for (char **e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "RERAZERA_CRC_KERNEL=", 20) != 0) {
                env.emplace_back(*e);
            }
        }
        env.push_back("RERAZERA_CRC_KERNEL=" + requested);
        env.push_back("RZTEST_EXPECT_CRC_KERNEL=" + expected);
        std::vector<char *> envp;
        for (auto &v : env) {
            envp.push_back(v.data());
        }
        envp.push_back(nullptr);
        std::string exe = "/proc/self/exe";
        std::string filter = "--gtest_filter=CrcDispatch.EnvironmentVariableForcesAKernel";
        char *argv[] = {exe.data(), filter.data(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "RERAZERA_CRC_KERNEL=" << requested << " should select " << expected;
    }
}

// The first call chooses the kernel; several threads making it at once must
// all get correct results (the choice is a local static, built once).
TEST(CrcDispatch, ConcurrentFirstUse) {
    const auto data = random_bytes(70000, 7);
    const std::uint16_t expected = bitwise_crc(0, data.data(), data.size());
    std::vector<std::uint16_t> results(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] { results[t] = rerazera::crc16(data.data(), data.size()); });
    }
    for (auto &th : threads) {
        th.join();
    }
    for (std::uint16_t r : results) {
        EXPECT_EQ(r, expected);
    }
}

TEST(CrcDispatch, ExportedChecksumReadsNothingForNonPositiveLengths) {
    GuardedPages pages(1);
    ASSERT_TRUE(pages.ok());
    const std::uint8_t *unmapped = pages.end();  // any read here faults
    for (std::int32_t len : {0, -1, -352, INT32_MIN}) {
        std::uint16_t crc = 0xBEEF;
        QVPKG_MakeCrcCheckSum(unmapped, len, &crc);
        EXPECT_EQ(crc, 0) << "length " << len;
    }

    const auto data = random_bytes(100000, 6);
    std::uint16_t crc = 0;
    QVPKG_MakeCrcCheckSum(data.data(), static_cast<std::int32_t>(data.size()), &crc);
    EXPECT_EQ(crc, bitwise_crc(0, data.data(), data.size()));
}

}  // namespace
