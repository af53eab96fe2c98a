// SPDX-License-Identifier: MIT
// A C++ program of the installed library: writes a package of one sub-file
// (ID 0x202, described "C++ consumer") to argv[1] with the header's own records and verifies it.
#include <rerazera.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

namespace {

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

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PACKAGE\n", argv[0]);
        return 2;
    }
    std::array<std::uint8_t, 100> payload{};
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(255 - i);
    }
    BinHeader bin{};
    put_be32(bin.fileId, 0x202);
    std::strcpy(bin.name, "cxx.bin");
    std::strcpy(bin.desc, "C++ consumer");
    put_be32(bin.dataLen, payload.size());
    put_be32(bin.headCrc, crc_of(reinterpret_cast<std::uint8_t *>(&bin) + 8, BIN_HEADER_CRC_LEN));
    auto header = std::make_unique<QVHeader>();
    put_be32(header->fileNum, 1);
    std::uint8_t *entry = header->fileDesc[0];
    put_be32(entry, 0x202);
    put_be32(entry + 4, QVPKG_HEADER_SIZE);
    put_be32(entry + 8, BIN_HEADER_SIZE + payload.size());
    put_be32(entry + 12, crc_of(payload.data(), payload.size()));
    put_be32(header->headerCrc, crc_of(header.get(), QVPKG_HEADER_CRC_LEN));
    {
        std::ofstream out(argv[1], std::ios::binary);
        out.write(reinterpret_cast<const char *>(header.get()), sizeof(QVHeader));
        out.write(reinterpret_cast<const char *>(&bin), sizeof bin);
        out.write(reinterpret_cast<const char *>(payload.data()), payload.size());
    }
    // The header image is malloc'ed and belongs to the caller.
    std::unique_ptr<QVHeader, decltype(&std::free)> loaded(QVPKG_GetQVHeader(argv[1]), &std::free);
    std::array<char, QVPKG_MSG_BUF_LEN> msg{};
    const bool ok = loaded && std::memcmp(loaded.get(), header.get(), QVPKG_HEADER_SIZE) == 0 &&
                    QVPKG_ChkQvHeader(loaded.get()) == QVPKG_OK &&
                    QVPKG_ChkQVFileInfo(argv[1], msg.data(), msg.size()) == QVPKG_OK &&
                    std::string(msg.data()) == "Info: System software CRC check OK!\n";
    std::printf("%s: %s", ok ? "ok" : "FAILED", msg.data());
    return ok ? 0 : 1;
}
