// SPDX-License-Identifier: MIT
// The manifest that `pack --manifest` reads, from any text: it parses or is
// refused with an exception the tool reports (nothing else escapes, nothing
// hangs, memory stays bounded by the text), and a document that parses is
// written back by unpack's writer and reads back to the same text, so the
// writer and the parser agree on every field they share.
#include <cstdint>
#include <exception>
#include <string>

#include "harness.hpp"
#include "manifest.hpp"

namespace {

namespace mf = rztool::manifest;

std::string written(const mf::Manifest &m) {
    std::string text = mf::head(m);
    for (std::size_t i = 0; i < m.entries.size(); ++i) {
        text += mf::entry_line(m.entries[i], i + 1 == m.entries.size());
    }
    return text + mf::tail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    mf::Manifest m;
    try {
        m = mf::parse(text);
    } catch (const std::exception &) {
        return 0;  // refused, as pack reports it
    }
    const std::string once = written(m);
    mf::Manifest again;
    try {
        again = mf::parse(once);
    } catch (const std::exception &) {
        rzfuzz::expect(false, "the writer's own text is refused");
    }
    rzfuzz::expect(written(again) == once, "a written manifest reads back differently");
    return 0;
}
