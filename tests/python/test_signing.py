# SPDX-License-Identifier: MIT
"""Signing, the signed index and the strict stream, against the module's
own verification, the tool and minisign."""

import os
import pathlib
import shutil
import subprocess

import pytest

import rerazera
from conftest import TOOL

Code = rerazera.SignCode
BLOCK = 4096


@pytest.fixture(scope="session")
def keys(tmp_path_factory: pytest.TempPathFactory) -> dict:
    """Two unencrypted key pairs, "a" and "b": name -> (public, secret) paths."""
    d = tmp_path_factory.mktemp("keys")
    out = {}
    for name in ("a", "b"):
        pair = rerazera.keygen()
        (d / f"{name}.pub").write_text(pair.public_file)
        (d / f"{name}.sec").write_text(pair.secret_file)
        out[name] = (d / f"{name}.pub", d / f"{name}.sec")
    return out


@pytest.fixture
def package(tmp_path: pathlib.Path, sample: pathlib.Path) -> pathlib.Path:
    return pathlib.Path(shutil.copy(sample, tmp_path / "fw.qv"))


def sign(path: pathlib.Path, secret: pathlib.Path, comment: "str | None" = None) -> pathlib.Path:
    with rerazera.SecretKey.read(secret) as key:
        text = rerazera.sign_file(path, key, trusted_comment=comment)
    sig = path.with_name(path.name + ".minisig")
    sig.write_text(text)
    return sig


def make_index(package: pathlib.Path, secret: pathlib.Path, digest: str = "blake2b-256"
               ) -> pathlib.Path:
    index = package.with_name(package.name + ".index")
    index.write_bytes(rerazera.build_index(package, digest, BLOCK))
    sign(index, secret, rerazera.package_comment(package, file=index, version="2.10"))
    return index


# ---- sign_file: the signature holds for its key only ----------------------


@pytest.mark.parametrize("checker", ["module", "minisign"])
@pytest.mark.parametrize("key, accepted", [("a", True), ("b", False)])
def test_signature_checked(keys: dict, package: pathlib.Path, checker: str, key: str,
                           accepted: bool) -> None:
    sig = sign(package, keys["a"][1])
    if checker == "module":
        r = rerazera.verify_signature(package, keys=[keys[key][0]])
        assert (r.ok, r.code) == (accepted, Code.OK if accepted else Code.UNKNOWN_KEY)
        return
    if shutil.which("minisign") is None:
        pytest.skip("minisign is not installed")
    run = subprocess.run(["minisign", "-Vm", str(package), "-x", str(sig), "-p",
                          str(keys[key][0])], capture_output=True)
    assert (run.returncode == 0) == accepted, run.stderr


def test_same_signatures_as_the_tool(keys: dict, package: pathlib.Path) -> None:
    """With the same key, time and version, the signature and the index
    signature match `rerazera sign --index` but for the untrusted comment,
    so a minimum version compares with what the module signs."""
    env = dict(os.environ, SOURCE_DATE_EPOCH="1700000000")
    subprocess.run([TOOL, "sign", "-q", "-s", str(keys["a"][1]), "--version", "2.10.1",
                    "--index", str(package)], check=True, env=env)
    index = package.with_name("fw.qv.index")
    assert rerazera.build_index(package) == index.read_bytes()
    with rerazera.SecretKey.read(keys["a"][1]) as key:
        for signed, file in ((package, None), (index, index)):
            comment = rerazera.package_comment(package, version="2.10.1", file=file,
                                               timestamp=1700000000)
            mine = rerazera.sign_file(signed, key, trusted_comment=comment)
            tools = signed.with_name(signed.name + ".minisig").read_text()
            assert mine.splitlines()[1:] == tools.splitlines()[1:]


@pytest.mark.parametrize("which, kwargs, error, code", [
    ("corrupt", {}, rerazera.CorruptError, rerazera.Result.CORRUPT),
    ("sample", {"version": "2.x"}, rerazera.SignatureError, Code.VERSION_MALFORMED),
])
def test_package_comment_refused(request: pytest.FixtureRequest, which: str, kwargs: dict,
                                 error: type, code: int) -> None:
    with pytest.raises(error) as e:
        rerazera.package_comment(request.getfixturevalue(which), **kwargs)
    assert e.value.code == code


def test_bad_comment_refused(keys: dict, package: pathlib.Path) -> None:
    with rerazera.SecretKey.read(keys["a"][1]) as key, \
            pytest.raises(rerazera.SignatureError) as e:
        rerazera.sign_file(package, key, trusted_comment="two\nlines")
    assert e.value.code == Code.BAD_COMMENT


# ---- secret keys: each failure has its code ------------------------------


@pytest.fixture(scope="session")
def encrypted(tmp_path_factory: pytest.TempPathFactory) -> tuple:
    pair = rerazera.keygen("correct horse")
    path = tmp_path_factory.mktemp("enc") / "enc.sec"
    path.write_text(pair.secret_file)
    return path, pair.key_id


@pytest.mark.parametrize("password, code", [
    (None, Code.NEEDS_PASSWORD),
    ("wrong horse", Code.WRONG_PASSWORD),
    ("correct horse", None),
])
def test_secret_key_password(encrypted: tuple, password: "str | None",
                             code: "int | None") -> None:
    path, key_id = encrypted
    if code is not None:
        with pytest.raises(rerazera.SignatureError) as e:
            rerazera.SecretKey.read(path, password)
        assert e.value.code == code
        return
    key = rerazera.SecretKey.read(path, password)
    assert key.key_id == key_id
    key.close()
    with pytest.raises(ValueError):
        rerazera.sign_file(path, key, trusted_comment="x")


def test_not_a_secret_key(keys: dict) -> None:
    with pytest.raises(rerazera.SignatureError) as e:
        rerazera.SecretKey.read(keys["a"][0])
    assert e.value.code == Code.BAD_SECRET_KEY


# ---- the signed index: opened only under its policy -----------------------


@pytest.mark.parametrize("key, policy, code", [
    ("a", {}, Code.OK),
    ("a", {"min_version": "2.9.7"}, Code.OK),
    ("b", {}, Code.UNKNOWN_KEY),
    ("a", {"min_version": "2.10.1"}, Code.VERSION_TOO_OLD),
    ("a", {"product_type": 0x7777}, Code.PRODUCT_TYPE_MISMATCH),
])
def test_index_open(keys: dict, package: pathlib.Path, key: str, policy: dict,
                    code: int) -> None:
    index = make_index(package, keys["a"][1])
    if code != Code.OK:
        with pytest.raises(rerazera.SignatureError) as e:
            rerazera.SignedIndex(index, [keys[key][0]], **policy)
        assert e.value.code == code
        return
    with rerazera.SignedIndex(index, [keys[key][0]], **policy) as ix, \
            rerazera.open(package) as pkg:
        size = package.stat().st_size
        assert (ix.size, ix.block_size, ix.block_count, ix.product_type) == \
            (size, BLOCK, -(-size // BLOCK), pkg.product_type)
        assert ix.key_id == rerazera.SecretKey.read(keys["a"][1]).key_id
        assert "\tversion:2.10" in ix.trusted_comment


# ---- the strict stream: only proven bytes reach the sink ------------------


def first_entry_in(package: pathlib.Path, start: int, end: int) -> tuple:
    with rerazera.open(package) as pkg:
        inside = [e for e in pkg.entries if e.length and e.offset + e.length <= pkg.size
                  and e.offset < end and e.offset + e.length > start]
        e = min(inside, key=lambda e: e.offset)
        return e.table, e.index


@pytest.mark.parametrize("digest", ["blake2b-256", "sha-256"])
@pytest.mark.parametrize("fed, code", [
    ("sample", Code.OK),
    ("corrupt", Code.BLOCK_MISMATCH),
    ("short", Code.LENGTH_MISMATCH),
    ("long", Code.LENGTH_MISMATCH),
])
def test_strict_stream(keys: dict, package: pathlib.Path,
                       corrupt: pathlib.Path, digest: str, fed: str, code: int) -> None:
    clean = package.read_bytes()
    data = {"sample": clean, "corrupt": corrupt.read_bytes(), "short": clean[:-1],
            "long": clean + b"\0"}[fed]
    got: list = []
    fed_so_far = [0]

    def sink(chunk: bytes) -> None:
        end = sum(map(len, got)) + len(chunk)
        assert end % BLOCK == 0 or end == len(clean)  # whole blocks only
        assert end <= fed_so_far[0]
        got.append(chunk)

    ix = rerazera.SignedIndex(make_index(package, keys["a"][1], digest), [keys["a"][0]])
    v = rerazera.SignedStreamVerifier(ix, sink=sink)
    ix.close()  # the stream holds it open
    refused = None
    try:
        for at in range(0, len(data), 1000):
            fed_so_far[0] = at + len(data[at:at + 1000])
            v.feed(data[at:at + 1000])
        report = v.finish()
    except rerazera.StreamRefusedError as exc:
        refused = exc
    received = b"".join(got)
    assert v.proven == len(received) and clean.startswith(received)
    if code == Code.OK:
        assert refused is None and report.ok and received == clean
        return
    assert refused is not None and refused.code == code
    if code == Code.BLOCK_MISMATCH:
        with pytest.raises(rerazera.StreamRefusedError) as again:
            v.feed(b"")  # every later call refuses the same
        assert again.value.code == code
        flipped = next(i for i, (x, y) in enumerate(zip(clean, data)) if x != y)
        block = flipped // BLOCK
        assert (refused.block, refused.offset, len(received)) == (block, block * BLOCK,
                                                                 block * BLOCK)
        assert refused.entry == first_entry_in(package, block * BLOCK, (block + 1) * BLOCK)
