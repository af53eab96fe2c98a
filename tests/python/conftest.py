# SPDX-License-Identifier: MIT
"""Packages for the module's tests, made with the build's own tool."""

import os
import pathlib
import subprocess

import pytest

SAMPLE = pathlib.Path(os.environ.get("RERAZERA_SAMPLE_DIR", "build/sample"))
TOOL = os.environ.get("RERAZERA_TOOL", "build/tools/rerazera/rerazera")


def tool(*args: str, cwd: "os.PathLike[str] | str | None" = None) -> None:
    subprocess.run([TOOL, *args], check=True, cwd=cwd, stdout=subprocess.DEVNULL)


@pytest.fixture(scope="session")
def sample() -> pathlib.Path:
    return SAMPLE / "sample.qv"


@pytest.fixture(scope="session")
def sample_ext() -> pathlib.Path:
    return SAMPLE / "sample-ext.qv"


@pytest.fixture(scope="session")
def payloads() -> pathlib.Path:
    return SAMPLE / "payload"


@pytest.fixture(scope="session")
def corrupt(tmp_path_factory: pytest.TempPathFactory, sample: pathlib.Path) -> pathlib.Path:
    """sample.qv with the last byte of kernel.img's payload flipped."""
    import rerazera

    data = bytearray(sample.read_bytes())
    with rerazera.open(sample) as pkg:
        e = pkg.find(name="kernel.img")
        assert e is not None
        data[e.offset + e.length - 1] ^= 0x01
    path = tmp_path_factory.mktemp("corrupt") / "corrupt.qv"
    path.write_bytes(bytes(data))
    return path


@pytest.fixture(scope="session")
def odd_names(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """A package whose second name is not UTF-8."""
    d = tmp_path_factory.mktemp("odd")
    (d / "a.bin").write_bytes(b"a\n")
    (d / "b.bin").write_bytes(b"b\n")
    (d / "m").write_bytes(b"0x1 caf\xc3\xa9.bin a.bin Caf\xc3\xa9\n0x2 bad\xff.bin b.bin Bad \xfe\n")
    tool("pack", "--manifest", "m", "-o", "odd.qv", cwd=d)
    return d / "odd.qv"
