# SPDX-License-Identifier: MIT
"""The module's interface over packages packed by the tool."""

import io
import os
import pathlib
import threading

import pytest

import rerazera

SAMPLE_ROWS = [  # file_id, name, description
    (0x0001, "boot.bin", "Boot loader"),
    (0x0002, "kernel.img", "Kernel image"),
    (0x0003, "rootfs.img", "Root file system"),
    (0x0010, "device.conf", "Device configuration"),
    (0x0020, "notes.txt", "Release notes"),
]


@pytest.mark.parametrize("kind", ["str", "pathlike", "fd", "bytes", "bytearray", "memoryview"])
def test_open_sources(sample: pathlib.Path, kind: str) -> None:
    data = sample.read_bytes()
    fd = os.open(sample, os.O_RDONLY)
    try:
        source = {"str": str(sample), "pathlike": sample, "fd": fd, "bytes": data,
                  "bytearray": bytearray(data), "memoryview": memoryview(data)}[kind]
        with rerazera.open(source) as pkg:
            assert (pkg.product_type, pkg.file_num, pkg.has_extension) == (0x2A, 5, False)
            got = [(e.file_id, e.name, e.description) for e in pkg.entries]
            assert got == SAMPLE_ROWS
            assert pkg.verify().ok
            assert "product_type=0x2a" in repr(pkg)
        assert pkg.closed and "closed" in repr(pkg)
    finally:
        os.close(fd)


@pytest.mark.parametrize("source,error,code", [
    ("/nonexistent/fw.qv", rerazera.NotFoundError, rerazera.Result.NO_SUCH_FILE),
    ("/", rerazera.NotRegularError, rerazera.Result.NOT_REGULAR),
    (b"QV" * 100, rerazera.NotPackageError, rerazera.Result.NOT_PACKAGE),
])
def test_open_errors(source: object, error: type, code: int) -> None:
    with pytest.raises(error) as info:
        rerazera.open(source)  # type: ignore[arg-type]
    assert info.value.code == code
    if isinstance(source, str):
        assert source in str(info.value)
    assert isinstance(info.value, rerazera.Error)


def test_open_refuses_other_types() -> None:
    with pytest.raises(TypeError):
        rerazera.open(3.5)  # type: ignore[arg-type]


def test_extension_entries(sample_ext: pathlib.Path) -> None:
    with rerazera.open(sample_ext) as pkg:
        assert pkg.has_extension and pkg.file_num == 256 and pkg.extension_count == 45
        entries = list(pkg.entries)
        assert len(entries) == len(pkg.entries) == 301
        assert entries[255].is_dummy and entries[255].table == rerazera.Table.HEADER
        last = pkg.entries[-1]
        assert (last.table, last.index, last.file_id, last.name) == (
            rerazera.Table.EXTENSION, 44, 0x1000 + 300, "part-300.bin")
        assert last == entries[-1] and last.data_len == len("part 300 of the extended sample\n")
        assert [e.index for e in pkg.entries[254:258]] == [254, 255, 0, 1]


def test_names_not_utf8(odd_names: pathlib.Path) -> None:
    with rerazera.open(odd_names) as pkg:
        a, b = pkg.entries
        assert (a.name, a.raw_name, a.description) == ("café.bin", b"caf\xc3\xa9.bin", "Café")
        assert b.raw_name == b"bad\xff.bin" and b.raw_description == b"Bad \xfe"
        assert b.name is not None and os.fsencode(b.name) == b.raw_name
        assert pkg.find(name=b"bad\xff.bin") == b
        assert pkg.find(name=b.name) == b


@pytest.mark.parametrize("key,expect", [
    ({"file_id": 0x2}, "kernel.img"),
    ({"file_id": 0x20}, "notes.txt"),
    ({"name": "rootfs.img"}, "rootfs.img"),
    ({"description": "configuration"}, "device.conf"),
    ({"description": "Root"}, "rootfs.img"),
    ({"file_id": 0x9999}, None),
    ({"name": "kernel"}, None),
    ({"description": "absent"}, None),
])
def test_find(sample: pathlib.Path, key: dict, expect: object) -> None:
    with rerazera.open(sample) as pkg:
        e = pkg.find(**key)
        assert (e.name if e else None) == expect


def test_find_in_extension_and_misuse(sample_ext: pathlib.Path) -> None:
    with rerazera.open(sample_ext) as pkg:
        e = pkg.find(name="part-290.bin")
        assert e is not None and e.table == rerazera.Table.EXTENSION and e.file_id == 0x1122
        for bad in ({}, {"file_id": 1, "name": "x"}):
            with pytest.raises(TypeError):
                pkg.find(**bad)


def test_verify_reports(sample_ext: pathlib.Path, corrupt: pathlib.Path) -> None:
    with rerazera.open(sample_ext) as pkg:
        r = pkg.verify()
        assert (r.ok, r.code, bool(r)) == (True, 0, True)
        assert all(x.ok for x in r.entries) and len(r.entries) == 301
    with rerazera.open(corrupt) as pkg:
        r = pkg.verify()
        assert (r.ok, r.result) == (False, rerazera.Result.CORRUPT) and r.code != 0 and r.message
        bad = [x for x in r.entries if not x.ok]
        assert len(bad) == 1 and bad[0].entry.name == "kernel.img"
        assert bad[0].reason == rerazera.Reason.PAYLOAD_CRC
        assert bad[0].reason.text == "payload-crc-mismatch"
        assert bad[0].crc_stored != bad[0].crc_computed
        assert bad[0].head_crc_stored == bad[0].head_crc_computed
        assert "ok=False" in repr(bad[0])


@pytest.mark.parametrize("target", ["path", "fd", "fileobj"])
@pytest.mark.parametrize("strip", [False, True])
def test_extract(sample: pathlib.Path, payloads: pathlib.Path, tmp_path: pathlib.Path,
                 target: str, strip: bool) -> None:
    payload = (payloads / "kernel.img").read_bytes()
    out = tmp_path / "out"
    with rerazera.open(sample) as pkg:
        e = pkg.find(name="kernel.img")
        assert e is not None
        if target == "path":
            n = pkg.extract(e, out, strip=strip)
            got = out.read_bytes()
        elif target == "fd":
            with open(out, "wb") as f:
                n = pkg.extract(e, f.fileno(), strip=strip)
            got = out.read_bytes()
        else:
            buf = io.BytesIO()
            n = pkg.extract(e, buf, strip=strip)
            got = buf.getvalue()
    assert n == len(got) == (len(payload) if strip else e.length)
    assert got.endswith(payload)


@pytest.mark.parametrize("check,raises", [(True, True), (False, False)])
def test_extract_corrupt(corrupt: pathlib.Path, tmp_path: pathlib.Path, check: bool,
                         raises: bool) -> None:
    out = tmp_path / "kernel.img"
    with rerazera.open(corrupt) as pkg:
        e = pkg.find(file_id=2)
        assert e is not None
        if raises:
            with pytest.raises(rerazera.CorruptError):
                pkg.extract(e, out, strip=True, check=check)
            assert not out.exists()
        else:
            pkg.extract(e, out, strip=True, check=check)
            assert out.stat().st_size == e.data_len


def test_threads_and_close(sample_ext: pathlib.Path) -> None:
    pkg = rerazera.open(sample_ext)
    failures: list = []

    def work() -> None:
        try:
            for _ in range(20):
                assert pkg.verify().ok and len(list(pkg.entries)) == 301
        except ValueError:
            pass  # closed under us: refused cleanly
        except BaseException as exc:
            failures.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    pkg.close()
    for t in threads:
        t.join()
    assert failures == []
    with pytest.raises(ValueError):
        pkg.verify()


@pytest.fixture(scope="session")
def signed(tmp_path_factory: pytest.TempPathFactory, sample: pathlib.Path) -> pathlib.Path:
    from conftest import tool

    d = tmp_path_factory.mktemp("signed")
    (d / "fw.qv").write_bytes(sample.read_bytes())
    for key in ("release", "other"):
        tool("keygen", "--unencrypted", "-p", f"{key}.pub", "-s", f"{key}.sec", cwd=d)
    tool("sign", "-s", "release.sec", "fw.qv", cwd=d)
    (d / "ring").mkdir()
    (d / "ring" / "release.pub").write_bytes((d / "release.pub").read_bytes())
    return d


@pytest.mark.parametrize("kwargs,ok,code", [
    ({"keys": ["release.pub"]}, True, 0),
    ({"keyring": "ring"}, True, 0),
    ({"keys": ["release.pub"], "product_type": 0x2A}, True, 0),
    ({"keys": ["release.pub"], "product_type": 0x2B}, False, 9),
    ({"keys": ["other.pub"]}, False, 4),
    ({"keys": ["release.pub"], "sig_path": "absent.minisig"}, False, 1),
])
def test_verify_signature(signed: pathlib.Path, monkeypatch: pytest.MonkeyPatch, kwargs: dict,
                          ok: bool, code: int) -> None:
    monkeypatch.chdir(signed)
    r = rerazera.verify_signature(signed / "fw.qv", **kwargs)
    assert (r.ok, r.code) == (ok, code), r
    if code in (0, 9):
        assert r.key_id and r.comment_verified


def test_verify_signature_bad_key(signed: pathlib.Path) -> None:
    (signed / "bad.pub").write_text("not a key\n")
    with pytest.raises(rerazera.SignatureError) as info:
        rerazera.verify_signature(signed / "fw.qv", keys=[signed / "bad.pub"])
    assert "bad.pub" in str(info.value) and info.value.code == 10


def test_readme_python_block(sample: pathlib.Path, monkeypatch: pytest.MonkeyPatch,
                             tmp_path: pathlib.Path, capsys: pytest.CaptureFixture) -> None:
    readme = pathlib.Path(__file__).parents[2] / "README.md"
    block = readme.read_text().split("```python\n", 1)[1].split("```", 1)[0]
    (tmp_path / "sample.qv").write_bytes(sample.read_bytes())
    monkeypatch.chdir(tmp_path)
    exec(compile(block, "README.md", "exec"), {})
    assert (tmp_path / "kernel.img").exists() and capsys.readouterr().out.endswith("True\n")
