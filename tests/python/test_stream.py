# SPDX-License-Identifier: MIT
"""The streaming verifier against the whole-file verdict."""

import pathlib

import pytest

import rerazera


@pytest.mark.parametrize("package", ["sample", "sample_ext", "corrupt"])
@pytest.mark.parametrize("piece", [1, 4093, 1 << 20])
def test_stream_matches_whole_file(request: pytest.FixtureRequest, package: str,
                                   piece: int) -> None:
    path: pathlib.Path = request.getfixturevalue(package)
    data = path.read_bytes()
    with rerazera.open(path) as pkg:
        whole = pkg.verify()
        expected = {(x.entry.table, x.entry.index): x.reason for x in whole.entries}
    seen: dict = {}
    v = rerazera.StreamVerifier(on_entry=lambda r: seen.update(
        {(r.entry.table, r.entry.index): r.reason}))
    view = memoryview(data)
    for at in range(0, len(data), piece):
        v.feed(view[at:at + piece])
    assert v.offset == len(data)
    r = v.finish()
    assert (r.ok, r.code, r.message) == (whole.ok, whole.code, whole.message)
    assert seen == expected


def test_checkpoint_resume(sample_ext: pathlib.Path) -> None:
    data = sample_ext.read_bytes()
    half = len(data) // 2
    reasons: list = []
    v = rerazera.StreamVerifier(on_entry=lambda r: reasons.append(r.reason))
    v.feed(data[:half])
    state = v.checkpoint()
    w = rerazera.StreamVerifier.resume(state, on_entry=lambda r: reasons.append(r.reason))
    assert w.offset == half
    w.feed(data[half:])
    assert w.finish().ok and len(reasons) == 301
    for broken in (state[:-1], bytes([state[0] ^ 0xFF]) + state[1:], b""):
        with pytest.raises(rerazera.BadStateError):
            rerazera.StreamVerifier.resume(broken)


def test_callback_error_propagates(sample: pathlib.Path) -> None:
    def boom(report: rerazera.EntryReport) -> None:
        raise KeyError(report.entry.index)

    v = rerazera.StreamVerifier(on_entry=boom)
    with pytest.raises(KeyError):
        v.feed(sample.read_bytes())


def test_truncated_stream(sample: pathlib.Path) -> None:
    with rerazera.StreamVerifier() as v:
        v.feed(sample.read_bytes()[:-10])
        r = v.finish()
        assert not r.ok and r.code != 0
        with pytest.raises(rerazera.Error):
            v.feed(b"x")
