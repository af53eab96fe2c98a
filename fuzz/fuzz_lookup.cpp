// SPDX-License-Identifier: MIT
// Lookups on a package file: by ID (header table, then the extension), the
// rpg check, by name and by description. Keys come from the input or, with
// kKeyFromPackage, from the package's own entries so that hits are common.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

constexpr std::uint32_t kName = 244;
constexpr std::uint32_t kNameWidth = 96;
constexpr std::uint32_t kDesc = 116;
constexpr std::uint32_t kDescWidth = 128;

QVFileDesc sentinel() {
    QVFileDesc d;
    std::memset(&d, 0xA5, sizeof d);
    return d;
}

bool same(const QVFileDesc &a, const QVFileDesc &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The result of a lookup: on success a descriptor with the wanted ID (for ID
// lookups), on failure the record as it was.
void check_out(std::int32_t r, const QVFileDesc &out, const char *what) {
    if (r != QVPKG_OK) {
        rzfuzz::expect(same(out, sentinel()), what);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    rzfuzz::Prefix prefix;
    std::vector<std::uint8_t> pkg;
    if (!rzfuzz::take_package(data, size, prefix, pkg)) {
        return 0;
    }
    const std::string path = rzfuzz::put_file("lookup.qv", pkg);
    const int fds = rzfuzz::open_fd_count();

    // Keys.
    auto id = static_cast<std::int32_t>(prefix.key);
    std::string name(reinterpret_cast<const char *>(data + 4), 4);
    name.resize(std::strlen(name.c_str()));
    std::string desc = name;
    if ((prefix.flags & rzfuzz::kKeyFromPackage) != 0) {
        QVFileDesc entry = rzfuzz::header_entry(pkg, prefix.pick);
        const std::uint32_t n = rzfuzz::extension_count(pkg);
        if ((prefix.flags & rzfuzz::kKeyFromExtension) != 0 && n > 0) {
            rzfuzz::extension_entry(pkg, prefix.key % n, entry);
        }
        id = static_cast<std::int32_t>(entry.fileId);
        name = rzfuzz::bin_text(pkg, entry.offset, kName, kNameWidth);
        desc = rzfuzz::bin_text(pkg, entry.offset, kDesc, kDescWidth);
        if (prefix.small != 0 && prefix.small < desc.size()) {
            desc = desc.substr(desc.size() / 2, prefix.small);
        }
    }

    QVFileDesc out = sentinel();
    std::int32_t r = QVPKG_GetQVFileInfo(path.c_str(), &out, id);
    check_out(r, out, "ID lookup wrote its record on failure");
    if (r == QVPKG_OK) {
        rzfuzz::expect(out.fileId == static_cast<std::uint32_t>(id), "ID lookup found another ID");
    }

    (void)QVPKG_ChkqvTypeFromRpg(path.c_str());

    out = sentinel();
    r = QVPKG_GetQVFileInfoByName(path.c_str(), &out, name.c_str());
    check_out(r, out, "name lookup wrote its record on failure");

    out = sentinel();
    r = QVPKG_GetQVFileInfoByDesc(path.c_str(), &out, desc.c_str());
    check_out(r, out, "description lookup wrote its record on failure");

    // The extension pieces a host may call itself, in their documented order.
    QVFileDesc ext = sentinel();
    if (QVPKG_isExtendFileExist(path.c_str(), &ext) == QVPKG_OK) {
        BinHeader dummy;
        if (QVPKG_ReadFileByOffset(path.c_str(), static_cast<std::int32_t>(ext.offset), &dummy,
                                   sizeof dummy) == QVPKG_OK) {
            char msg[QVPKG_MSG_BUF_LEN] = "";
            if (QVPKG_isValidExtQV(&ext, &dummy, msg, sizeof msg) == QVPKG_OK) {
                if (SecondFileDescTable *table =
                        QVPKG_Get2ndFileDescContent(path.c_str(), &ext, &dummy)) {
                    (void)QVPKG_Chk2ndFileDesc(&dummy, table, msg, sizeof msg);
                    std::free(table);
                }
            }
        }
    } else {
        rzfuzz::expect(same(ext, sentinel()), "extDesc written on failure");
    }
    rzfuzz::expect(rzfuzz::open_fd_count() == fds, "a descriptor leaked");
    return 0;
}
