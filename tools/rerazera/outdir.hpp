// SPDX-License-Identifier: MIT
// Writing sub-files into a directory, shared by extract --all and unpack:
// names from a package are not trusted, so each becomes one safe path
// component, unique within the run; and a range of the mapped package is
// copied out in pieces that are given back to the system once written.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "output.hpp"
#include "package.hpp"
#include "progress.hpp"

namespace rztool {

// A file name for a sub-file inside the output directory: one path
// component, never "." or "..", no control characters; `fallback` stands in
// for a name with nothing usable left. `why` is set when the package's name
// had to be changed.
std::string safe_name(const std::string &raw, const std::string &fallback, std::string &why);

// dir + "/" + name, without doubling a slash the user wrote.
std::string join_path(const std::string &dir, const std::string &name);

// Names already given in this run, as 64-bit hashes in an open-addressed
// table filled to at most three quarters: about twelve bytes a sub-file
// however long its name. The next "~N" suffix to try is kept for each name
// that repeats, so a million sub-files of one name cost a million probes,
// not half a million squared. Two names with the same hash would be told
// apart by a suffix like a true repeat.
class NameSet {
  public:
    // The name itself when unused, else the first free "name~N"; either way
    // it is marked used.
    std::string claim(const std::string &name) {
        const std::uint64_t base = hash(name);
        if (insert(base)) {
            return name;
        }
        std::uint64_t &next = next_.try_emplace(base, 2).first->second;
        for (;;) {
            std::string candidate = name + "~" + std::to_string(next++);
            if (insert(hash(candidate))) {
                return candidate;
            }
        }
    }

  private:
    static std::uint64_t hash(const std::string &name) {
        std::uint64_t h = 0xcbf29ce484222325u;  // FNV-1a
        for (const char c : name) {
            h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
        }
        return h == 0 ? 1 : h;  // 0 marks an empty slot
    }
    // False when h is already there.
    bool insert(std::uint64_t h) {
        if ((count_ + 1) * 4 > slots_.size() * 3) {
            grow();
        }
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            if (slots_[i] == h) {
                return false;
            }
            if (slots_[i] == 0) {
                slots_[i] = h;
                ++count_;
                return true;
            }
        }
    }
    void grow() {
        std::vector<std::uint64_t> old = std::move(slots_);
        slots_.assign(old.empty() ? 1024 : old.size() * 2, 0);
        const std::size_t mask = slots_.size() - 1;
        for (const std::uint64_t h : old) {
            if (h != 0) {
                std::size_t i = h & mask;
                while (slots_[i] != 0) {
                    i = (i + 1) & mask;
                }
                slots_[i] = h;
            }
        }
    }
    std::vector<std::uint64_t> slots_;
    std::size_t count_ = 0;
    std::unordered_map<std::uint64_t, std::uint64_t> next_;
};

// The name under which entry e (bin header name `binName`) is written into a
// directory: its safe form, or a fallback built from its ID, table and index,
// with "~N" added when an earlier sub-file took it. A note on stderr tells
// the user about any change.
std::string entry_file_name(NameSet &used, const Entry &e, const std::string &binName,
                            const std::string &package);

// Creates dir and any missing parents; reports why when it is not (or cannot
// become) a directory.
bool make_output_dir(const std::string &dir);

// Copies length bytes at offset of the package to out in pieces, giving each
// back to the system once written and counting them in progress when given,
// then puts out in place. Reports a failed write or commit and returns false.
bool write_range(const PackageView &pkg, std::uint32_t offset, std::uint32_t length,
                 OutputFile &out, Progress *progress = nullptr);

// The same for a whole entry, or with strip its payload alone, copied by the
// package API without checking it again (the caller has decided to write
// it).
bool write_entry(const PackageView &pkg, const Entry &e, bool strip, OutputFile &out,
                 Progress *progress = nullptr);

}  // namespace rztool
