#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The Python module against the C calls it wraps, measured in one run.

    PYTHONPATH=build/python /usr/bin/python3 bench/python/python_bench.py --build build

Prints the CPU, then for each measurement the median of --runs runs and the
ratio to its floor:
  verify    pkg.verify() on a 1 GiB package (255 sub-files of 4 MiB) against
            rerazera_package_verify() timed in C on the same file;
  entries   iterating 1,048,575 extension entries reading file_id and name
            (an absolute limit: 2 s);
  stream    StreamVerifier.feed() in 1 MiB pieces against the C streaming
            verifier fed the same pieces.
The packages are written once into --dir (default $TMPDIR) and kept there.
"""

import argparse
import mmap
import os
import pathlib
import statistics
import subprocess
import sys
import time

import rerazera

PIECE = 1 << 20


def cpu() -> str:
    fields = {}
    with open("/proc/cpuinfo") as f:
        for line in f:
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    flags = [x for x in fields.get("flags", "").split() if x in ("sse4_2", "pclmulqdq", "avx2", "avx512f")]
    return (f"{fields.get('model name')} (family {fields.get('cpu family')}, "
            f"model {fields.get('model')}, flags {' '.join(flags)})")


def median_time(fn, runs: int) -> float:
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def floor(build: pathlib.Path, *args: str) -> str:
    exe = build / "bench" / "rerazera_python_bench_floor"
    return subprocess.run([str(exe), *args], check=True, capture_output=True,
                          text=True).stdout.strip()


def make_big(build: pathlib.Path, d: pathlib.Path, mib: int) -> pathlib.Path:
    path = d / f"python-bench-{mib}m.qv"
    if path.exists():
        return path
    part = d / "python-bench-part.bin"
    part.write_bytes(bytes(range(256)) * (mib * 4096 // 255))
    manifest = d / "python-bench.manifest"
    manifest.write_text("".join(f"0x{i + 1:x} part{i}.bin {part.name} Part {i}\n" for i in range(255)))
    tool = build / "tools" / "rerazera" / "rerazera"
    subprocess.run([str(tool), "pack", "--manifest", str(manifest), "-o", str(path)],
                   check=True, stdout=subprocess.DEVNULL)
    part.unlink()
    return path


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", type=pathlib.Path, default=pathlib.Path("build"))
    ap.add_argument("--dir", type=pathlib.Path,
                    default=pathlib.Path(os.environ.get("TMPDIR", "/tmp")))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--mib", type=int, default=1024, help="size of the large package")
    args = ap.parse_args()
    print(f"CPU: {cpu()}")
    print(f"rerazera {rerazera.version()}, Python {sys.version.split()[0]}, "
          f"median of {args.runs} runs")

    big = make_big(args.build, args.dir, args.mib)
    with rerazera.open(big) as pkg:
        pkg.verify()  # warm the page cache
        py = median_time(pkg.verify, args.runs)
    c = float(floor(args.build, "verify", str(big), str(args.runs)))
    print(f"verify   {big.stat().st_size >> 20} MiB: python {py:.4f} s, C {c:.4f} s, "
          f"ratio {py / c:.3f} (limit 1.05)")

    with open(big, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        view = memoryview(m)

        def stream() -> None:
            v = rerazera.StreamVerifier()
            for at in range(0, len(view), PIECE):
                v.feed(view[at:at + PIECE])
            v.finish()
            v.close()

        stream()
        py = median_time(stream, args.runs)
        view.release()
    c = float(floor(args.build, "stream", str(big), str(args.runs)))
    print(f"stream   1 MiB pieces: python {py:.4f} s, C {c:.4f} s, ratio {py / c:.3f} (limit 1.1)")

    million = args.dir / "python-bench-million.qv"
    if not million.exists():
        floor(args.build, "million", str(million))
    with rerazera.open(million) as pkg:
        assert pkg.has_extension

        def walk() -> None:
            n = 0
            for e in pkg.entries:
                if e.file_id and e.name:
                    n += 1
            assert n >= 1048575, n

        t = median_time(walk, max(1, args.runs // 2))
    print(f"entries  1,048,575 extension entries (file_id, name): {t:.3f} s (limit 2 s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
