# SPDX-License-Identifier: MIT
"""A client of the module that mypy --strict must accept."""

import pathlib
import sys
from typing import Optional

import rerazera


def main(path: pathlib.Path) -> int:
    seen: list[rerazera.EntryReport] = []
    with rerazera.open(path) as pkg:
        print(pkg.product_type, pkg.file_num, pkg.has_extension)
        for e in pkg.entries:
            name: Optional[str] = e.name
            print(e.table, e.index, hex(e.file_id), e.offset, e.length, e.crc, name, e.data_len)
        report: rerazera.Report = pkg.verify()
        for r in report.entries:
            stored: Optional[int] = r.crc_stored
            print(r.entry.index, r.ok, r.reason.text, stored, r.crc_computed)
        entry = pkg.find(file_id=2) or pkg.find(name="kernel.img")
        if entry is not None:
            pkg.extract(entry, path.with_suffix(".out"), strip=True)
    v = rerazera.StreamVerifier(on_entry=seen.append)
    v.feed(path.read_bytes())
    state: bytes = v.checkpoint()
    w = rerazera.StreamVerifier.resume(state)
    print(w.offset, w.finish().ok)
    sig = rerazera.verify_signature(path, keys=["release.pub"], product_type=0x2A)
    pair: rerazera.KeyPair = rerazera.keygen()
    with rerazera.SecretKey.read("release.sec", password=None) as key:
        comment: str = rerazera.package_comment(path, version="2.10.1")
        text: str = rerazera.sign_file(path, key, trusted_comment=comment)
    index_text: bytes = rerazera.build_index(path, "sha-256", block_size=1 << 16)
    with rerazera.SignedIndex("fw.qv.index", ["release.pub"], min_version="2.0") as index:
        s = rerazera.SignedStreamVerifier(index, sink=lambda chunk: print(len(chunk)))
        s.feed(path.read_bytes())
        proven: int = s.proven
        print(pair.key_id, text, len(index_text), index.block_count, proven, s.finish().ok)
    return 0 if report.ok and sig.ok else 1


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1])))
