// A C++ host program of the installed library: writes a small valid package
// (one sub-file) into the directory given as argv[1] and checks it through
// the public interface, owning what the library hands back with RAII.
#include <rerazera.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kPayloadLen = 100;
constexpr std::uint32_t kSubFileId = 0x00000202;
constexpr std::uint32_t kProductType = 0xBEEF;

int failures = 0;

void expect(bool condition, const char *what) {
    std::printf("%s: %s\n", condition ? "ok" : "FAILED", what);
    failures += condition ? 0 : 1;
}

void put_be32(std::uint8_t *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    }
}

std::uint32_t crc_of(const void *data, std::uint32_t len) {
    std::uint16_t crc = 0;
    QVPKG_MakeCrcCheckSum(static_cast<const std::uint8_t *>(data), static_cast<std::int32_t>(len),
                          &crc);
    return crc;
}

// Header, then one sub-file: its bin header and its payload, each field
// written big-endian into the record's bytes.
std::vector<std::uint8_t> make_package() {
    std::array<std::uint8_t, kPayloadLen> payload{};
    for (std::uint32_t i = 0; i < kPayloadLen; ++i) {
        payload[i] = static_cast<std::uint8_t>(255 - i);
    }
    BinHeader bin{};
    put_be32(bin.fileId, kSubFileId);
    std::strcpy(bin.desc, "C++ consumer payload");
    std::strcpy(bin.name, "cxx.bin");
    put_be32(bin.dataLen, kPayloadLen);
    put_be32(bin.headCrc, crc_of(reinterpret_cast<std::uint8_t *>(&bin) + 8, BIN_HEADER_CRC_LEN));

    auto header = std::make_unique<QVHeader>();
    put_be32(header->fileNum, 1);
    header->productType[0] = static_cast<std::uint8_t>(kProductType >> 8);
    header->productType[1] = static_cast<std::uint8_t>(kProductType);
    std::uint8_t *entry = header->fileDesc[0];
    put_be32(entry, kSubFileId);
    put_be32(entry + 4, QVPKG_HEADER_SIZE);
    put_be32(entry + 8, BIN_HEADER_SIZE + kPayloadLen);
    put_be32(entry + 12, crc_of(payload.data(), kPayloadLen));
    put_be32(header->headerCrc, crc_of(header.get(), QVPKG_HEADER_CRC_LEN));

    std::vector<std::uint8_t> bytes;
    auto append = [&bytes](const void *p, std::size_t n) {
        auto b = static_cast<const std::uint8_t *>(p);
        bytes.insert(bytes.end(), b, b + n);
    };
    append(header.get(), sizeof(QVHeader));
    append(&bin, sizeof bin);
    append(payload.data(), payload.size());
    return bytes;
}

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string path = std::string(argv[1]) + "/cxx-consumer.qv";
    const std::vector<std::uint8_t> bytes = make_package();
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        expect(static_cast<bool>(out), "sample package written");
    }

    // The header image is malloc'ed and belongs to the caller.
    std::unique_ptr<QVHeader, FreeDeleter> header(QVPKG_GetQVHeader(path.c_str()));
    expect(header != nullptr, "QVPKG_GetQVHeader loads the header");
    if (header) {
        expect(QVPKG_ChkQvHeader(header.get()) == QVPKG_OK, "QVPKG_ChkQvHeader accepts it");
        expect(std::memcmp(header.get(), bytes.data(), QVPKG_HEADER_SIZE) == 0,
               "the image holds the file's bytes unchanged");
        header->fileNum[2] = 0x01;  // 257 entries
        header->fileNum[3] = 0x01;
        expect(QVPKG_ChkQvHeader(header.get()) == QVPKG_ERR_FILE_NUM, "257 entries are refused");
    }
    std::uint32_t productType = 0;
    expect(QVPKG_ExtractProductTypeFromQV(path.c_str(), &productType) == QVPKG_OK &&
               productType == kProductType,
           "QVPKG_ExtractProductTypeFromQV reads the product type");

    std::array<char, QVPKG_MSG_BUF_LEN> msg{};
    expect(QVPKG_ChkQVFileInfo(path.c_str(), msg.data(), msg.size()) == QVPKG_OK,
           "QVPKG_ChkQVFileInfo verifies the package");
    expect(std::string(msg.data()) == "Info: System software CRC check OK!\n", "its verdict is OK");

    // The sub-file's bin header changed: its header CRC no longer matches.
    {
        std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(QVPKG_HEADER_SIZE + 244);  // first byte of the bin header's name
        f.put('C');
        expect(static_cast<bool>(f), "bin header byte changed");
    }
    expect(QVPKG_ChkQVFileInfo(path.c_str(), msg.data(), msg.size()) == QVPKG_ERR,
           "QVPKG_ChkQVFileInfo refuses the changed package");
    expect(std::string(msg.data()) ==
               "head crc is not correct. fileID =0x202\nInfo: System software CRC check failed!\n",
           "its verdict names the sub-file");

    std::remove(path.c_str());
    return failures == 0 ? 0 : 1;
}
