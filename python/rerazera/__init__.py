# SPDX-License-Identifier: MIT
"""Read, verify and extract QV firmware packages, in process.

A thin layer over librerazera-package (and librerazera-sign for signatures):

    with rerazera.open("fw.qv") as pkg:
        report = pkg.verify()
        if report.ok:
            pkg.extract(pkg.find(name="kernel.img"), "kernel.img")

Every call that reads a package's bytes (verification, extraction, feeding a
stream) runs with the GIL released. A Package may be used from any number of
threads at once; closing it waits for no one but takes effect when the last
call in flight returns.
"""

from __future__ import annotations

import enum
import os
import threading
import time
from typing import IO, Any, Callable, Iterator, Optional, Sequence, TypeVar, Union

from ._ffi import ffi, lib, libc, sign_lib

__all__ = [
    "BadStateError",
    "CorruptError",
    "Entry",
    "EntryReport",
    "Error",
    "KeyPair",
    "NeedsSecondPassError",
    "NotFoundError",
    "NotPackageError",
    "NotRegularError",
    "Package",
    "Reason",
    "Report",
    "Result",
    "SignatureError",
    "SecretKey",
    "SignCode",
    "SignatureReport",
    "SignedIndex",
    "SignedStreamVerifier",
    "StreamRefusedError",
    "StreamVerifier",
    "Table",
    "TooLargeError",
    "build_index",
    "keygen",
    "open",
    "package_comment",
    "sign_file",
    "verify_signature",
    "version",
]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
"""A path: str, bytes or any os.PathLike."""

Source = Union[PathLike, int, bytes, bytearray, memoryview]
"""What a package opens from: a path, a file descriptor or bytes-like data."""

_MSG_SIZE = 1024
_BATCH = 256
_STRIP = 1
_NO_CHECK = 2
_VERIFY_FIRST = 4
_REPORT_HEAD_CRC = 1
_REPORT_CRC = 2
_ENTRY_BIN_HEADER = 1
_ENTRY_DUMMY = 2


class Result(enum.IntEnum):
    """The library's stable result values (rerazera_result)."""

    OK = 0
    INVALID_ARGUMENT = 1
    NO_MEMORY = 2
    NO_SUCH_FILE = 3
    NOT_REGULAR = 4
    TOO_LARGE = 5
    IO = 6
    NOT_PACKAGE = 7
    CORRUPT = 8
    NOT_FOUND = 9
    NAME_RULE = 10
    SINK = 11
    STOPPED = 12
    BAD_STATE = 13
    TRUNCATED = 14
    NEEDS_SECOND_PASS = 15
    MISUSE = 16


class Reason(enum.IntEnum):
    """Why an entry passed or failed (rerazera_reason)."""

    OK = 0
    EMPTY = 1
    OUT_OF_BOUNDS = 2
    TOO_SHORT = 3
    HEADER_CRC = 4
    PAYLOAD_OVERRUN = 5
    PAYLOAD_CRC = 6

    @property
    def text(self) -> str:
        """The library's name for the reason, such as "payload-crc-mismatch"."""
        return _text(lib.rerazera_reason_name(int(self)))


class Table(enum.IntEnum):
    """The table an entry belongs to."""

    HEADER = 0
    EXTENSION = 1


def _text(c: Any) -> str:
    return str(ffi.string(c).decode("utf-8", "replace"))


def version() -> str:
    """The version of the loaded librerazera-package, such as "1.0.0"."""
    return _text(lib.rerazera_package_version())


# ---- Errors ---------------------------------------------------------------


class Error(Exception):
    """A call that failed. code is the library's stable result value
    (a Result for the package API, a signature code for SignatureError);
    filename names the file concerned, when there is one."""

    code: int
    filename: Optional[str]

    def __init__(self, code: int, message: str, filename: Optional[str] = None) -> None:
        super().__init__(message)
        self.code = code
        self.filename = filename

    def __repr__(self) -> str:
        return f"{type(self).__name__}(code={self.code}, {str(self)!r})"


class NotFoundError(Error, FileNotFoundError):
    """The path does not exist (NO_SUCH_FILE)."""


class NotRegularError(Error):
    """Not a regular file (NOT_REGULAR)."""


class TooLargeError(Error):
    """The package is 2 GiB or more (TOO_LARGE)."""


class NotPackageError(Error):
    """Shorter than a package header (NOT_PACKAGE)."""


class CorruptError(Error):
    """An entry failed its checksums while being extracted (CORRUPT)."""


class BadStateError(Error):
    """A checkpoint that is corrupt, foreign or of another version (BAD_STATE)."""


class NeedsSecondPassError(Error):
    """A stream needs its bytes again: pass finish() a seekable file."""


class SignatureError(Error):
    """A key, keyring, signature or index that cannot be used, or a signing
    call that failed; code is a SignCode (such as SignCode.NEEDS_PASSWORD or
    SignCode.WRONG_PASSWORD for a secret key)."""


class StreamRefusedError(SignatureError):
    """A SignedStreamVerifier stopped (code BLOCK_MISMATCH, LENGTH_MISMATCH,
    SINK_FAILED, STREAM_FAILED, ...). block, offset and length locate the
    block refused (or the one being filled); entry is (table, index) of the
    first sub-file with bytes in that block, or None; stream_result is the
    package stream's Result for STREAM_FAILED, else None."""

    block: int
    offset: int
    length: int
    entry: Optional[tuple["Table", int]]
    stream_result: Optional["Result"]


_ERRORS: dict[int, type[Error]] = {
    Result.NO_SUCH_FILE: NotFoundError,
    Result.NOT_REGULAR: NotRegularError,
    Result.TOO_LARGE: TooLargeError,
    Result.NOT_PACKAGE: NotPackageError,
    Result.CORRUPT: CorruptError,
    Result.BAD_STATE: BadStateError,
    Result.NEEDS_SECOND_PASS: NeedsSecondPassError,
}


def _error(code: int, what: str, filename: Optional[str] = None) -> Error:
    text = _text(lib.rerazera_strerror(code))
    cls = _ERRORS.get(code, Error)
    message = f"{filename}: {what}: {text}" if filename else f"{what}: {text}"
    if cls is NotFoundError:
        err = NotFoundError(code, message, filename)
        err.errno, err.strerror = 2, text  # behaves as FileNotFoundError too
        return err
    return cls(code, message, filename)


# ---- Entries --------------------------------------------------------------


def _decode(raw: bytes) -> str:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("utf-8", "surrogateescape")


class Entry:
    """One entry of the header table or of the extension.

    The descriptor's fields are always there. name, description and
    data_len come from the bin header and are None when its 352 bytes do not
    lie in the file. name and description are str: decoded as UTF-8, with
    undecodable bytes kept as surrogate escapes (as os.fsdecode does);
    raw_name and raw_description give the bytes exactly.
    """

    __slots__ = ("_c", "_owner")

    def __init__(self, c: Any, owner: Any = None) -> None:
        self._c = c
        self._owner = owner  # keeps the memory of c alive

    @property
    def table(self) -> Table:
        """Table.HEADER or Table.EXTENSION."""
        return Table(self._c.table)

    @property
    def index(self) -> int:
        """Position in its table."""
        return int(self._c.index)

    @property
    def file_id(self) -> int:
        """The descriptor's file ID."""
        return int(self._c.file_id)

    @property
    def offset(self) -> int:
        """Byte offset of the sub-file (its bin header) in the package."""
        return int(self._c.offset)

    @property
    def length(self) -> int:
        """Bytes of the sub-file, bin header included."""
        return int(self._c.length)

    @property
    def crc(self) -> int:
        """The payload CRC the descriptor states."""
        return int(self._c.crc)

    @property
    def aux0(self) -> int:
        """The descriptor's first auxiliary field."""
        return int(self._c.aux0)

    @property
    def aux1(self) -> int:
        """The descriptor's second auxiliary field."""
        return int(self._c.aux1)

    @property
    def is_dummy(self) -> bool:
        """True for header entry 255 when it opens the extension."""
        return bool(self._c.flags & _ENTRY_DUMMY)

    @property
    def has_bin_header(self) -> bool:
        """True when the bin header lies in the file (name etc. are set)."""
        return bool(self._c.flags & _ENTRY_BIN_HEADER)

    @property
    def raw_name(self) -> Optional[bytes]:
        """The bin header's name bytes up to the first NUL."""
        c = self._c
        if not c.flags & _ENTRY_BIN_HEADER:
            return None
        return ffi.unpack(c.name, c.name_len)  # type: ignore[no-any-return]

    @property
    def raw_description(self) -> Optional[bytes]:
        """The bin header's description bytes up to the first NUL."""
        c = self._c
        if not c.flags & _ENTRY_BIN_HEADER:
            return None
        return ffi.unpack(c.description, c.description_len)  # type: ignore[no-any-return]

    @property
    def name(self) -> Optional[str]:
        """The bin header's name (see the class)."""
        c = self._c
        if not c.flags & _ENTRY_BIN_HEADER:
            return None
        return _decode(ffi.string(c.name))

    @property
    def description(self) -> Optional[str]:
        """The bin header's description (see the class)."""
        c = self._c
        if not c.flags & _ENTRY_BIN_HEADER:
            return None
        return _decode(ffi.string(c.description))

    @property
    def data_len(self) -> Optional[int]:
        """The payload length the bin header states."""
        c = self._c
        return int(c.data_len) if c.flags & _ENTRY_BIN_HEADER else None

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Entry):
            return NotImplemented
        return bytes(ffi.buffer(self._c)) == bytes(ffi.buffer(other._c))

    def __hash__(self) -> int:
        return hash((self.table, self.index, self.file_id, self.offset, self.length))

    def __repr__(self) -> str:
        return (
            f"<rerazera.Entry {self.table.name.lower()}[{self.index}] "
            f"file_id=0x{self.file_id:x} offset={self.offset} length={self.length} "
            f"name={self.name!r}>"
        )


class Entries(Sequence[Entry]):
    """The package's entries, read from the mapping on demand: the header
    table (entry 255, the dummy, included when there is an extension), then
    the extension. Iterating holds one entry at a time."""

    __slots__ = ("_pkg", "_count")

    def __init__(self, pkg: "Package", count: int) -> None:
        self._pkg = pkg
        self._count = count

    def __len__(self) -> int:
        return self._count

    def __getitem__(self, k: Any) -> Any:
        if isinstance(k, slice):
            return [self[i] for i in range(*k.indices(self._count))]
        k = int(k)
        if k < 0:
            k += self._count
        if not 0 <= k < self._count:
            raise IndexError("entry index out of range")
        return self._pkg._entry(k)

    def __iter__(self) -> Iterator[Entry]:
        return self._pkg._iter_entries(self._count)

    def __repr__(self) -> str:
        return f"<rerazera.Entries of {self._pkg._label}: {self._count}>"


# ---- Reports --------------------------------------------------------------


class EntryReport:
    """The verdict on one entry: ok, reason (a Reason), and the checksums
    stored and computed (None when they were not computed)."""

    __slots__ = ("_c",)

    def __init__(self, c: Any) -> None:
        self._c = c

    @classmethod
    def _copy(cls, c: Any) -> "EntryReport":
        own = ffi.new("rerazera_entry_report *")
        ffi.memmove(own, c, ffi.sizeof("rerazera_entry_report"))
        return cls(own)

    @property
    def entry(self) -> Entry:
        """The entry reported on."""
        return Entry(ffi.addressof(self._c[0], "entry"), self._c)

    @property
    def ok(self) -> bool:
        """True for Reason.OK and Reason.EMPTY."""
        return bool(self._c.ok)

    @property
    def reason(self) -> Reason:
        """Why the entry passed or failed."""
        return Reason(self._c.reason)

    def _crc(self, flag: int, value: int) -> Optional[int]:
        return int(value) if self._c.computed & flag else None

    @property
    def head_crc_stored(self) -> Optional[int]:
        """The bin header's stored checksum."""
        return self._crc(_REPORT_HEAD_CRC, self._c.head_crc_stored)

    @property
    def head_crc_computed(self) -> Optional[int]:
        """The bin header's checksum as computed."""
        return self._crc(_REPORT_HEAD_CRC, self._c.head_crc_computed)

    @property
    def crc_stored(self) -> Optional[int]:
        """The payload checksum the descriptor states."""
        return self._crc(_REPORT_CRC, self._c.crc_stored)

    @property
    def crc_computed(self) -> Optional[int]:
        """The payload checksum as computed."""
        return self._crc(_REPORT_CRC, self._c.crc_computed)

    def __repr__(self) -> str:
        e = self._c.entry
        table = "extension" if e.table else "header"
        return (
            f"<rerazera.EntryReport {table}[{e.index}] file_id=0x{e.file_id:x} "
            f"ok={self.ok} reason={self.reason.text}>"
        )


class EntryReports(Sequence[EntryReport]):
    """Per-entry reports of a package, computed entry by entry as they are
    read (the whole-package verdict does not compute them)."""

    __slots__ = ("_pkg", "_count")

    def __init__(self, pkg: "Package", count: int) -> None:
        self._pkg = pkg
        self._count = count

    def __len__(self) -> int:
        return self._count

    def __getitem__(self, k: Any) -> Any:
        if isinstance(k, slice):
            return [self[i] for i in range(*k.indices(self._count))]
        k = int(k)
        if k < 0:
            k += self._count
        if not 0 <= k < self._count:
            raise IndexError("report index out of range")
        return self._pkg._check(self._pkg._entry(k))

    def __iter__(self) -> Iterator[EntryReport]:
        pkg = self._pkg
        for e in pkg._iter_entries(self._count):
            yield pkg._check(e)

    def __repr__(self) -> str:
        return f"<rerazera.EntryReports of {self._pkg._label}: {self._count}>"


class Report:
    """A verdict: ok, code and message are those of QVPKG_ChkQVFileInfo on
    the same bytes (code 0 and "" text aside, message is its text exactly);
    result is the package API's Result. entries gives the per-entry reports
    (for a StreamVerifier, those went to on_entry and entries is empty)."""

    __slots__ = ("ok", "code", "message", "result", "entries")

    ok: bool
    code: int
    message: str
    result: Result
    entries: Sequence[EntryReport]

    def __init__(
        self, result: int, code: int, message: str, entries: Sequence[EntryReport]
    ) -> None:
        self.ok = result == Result.OK
        self.result = Result(result)
        self.code = code
        self.message = message
        self.entries = entries

    def __bool__(self) -> bool:
        return self.ok

    def __repr__(self) -> str:
        return f"<rerazera.Report ok={self.ok} code={self.code} message={self.message!r}>"


# ---- Packages -------------------------------------------------------------


class _Guard:
    """Lets any number of calls use a C handle at once and frees it once,
    after the last call in flight, when it has been closed."""

    __slots__ = ("_lock", "_users", "_closed", "_handle", "_free", "_what")

    def __init__(self, handle: Any, free: Callable[[Any], None], what: str = "package") -> None:
        self._lock = threading.Lock()
        self._users = 0
        self._closed = False
        self._handle = handle
        self._free = free
        self._what = what

    def acquire(self, label: str) -> Any:
        with self._lock:
            if self._closed:
                raise ValueError(f"{label}: the {self._what} is closed")
            self._users += 1
            return self._handle

    def release(self) -> None:
        with self._lock:
            self._users -= 1
            if self._closed and self._users == 0:
                self._drop()

    def close(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
            if self._users == 0:
                self._drop()

    @property
    def closed(self) -> bool:
        return self._closed

    def _drop(self) -> None:
        handle, self._handle = self._handle, None
        if handle is not None:
            self._free(handle)


_Self = TypeVar("_Self", bound="_Closing")


class _Closing:
    """A context manager that calls close() on the way out."""

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class _Guarded(_Closing):
    """An object over a C handle that a _Guard holds: close() (after the
    calls in flight), closed, and the handle released when collected."""

    _guard: _Guard

    @property
    def closed(self) -> bool:
        """True once close() was called."""
        return self._guard.closed

    def close(self) -> None:
        """Releases the handle once the calls in flight are done."""
        self._guard.close()

    def __del__(self) -> None:
        guard = getattr(self, "_guard", None)
        if guard is not None:
            guard.close()


def _fs(path: PathLike) -> bytes:
    return os.fsencode(os.fspath(path))


class Package(_Guarded):
    """An open package: one snapshot of its bytes (see open()). Use it as a
    context manager, or call close(). Safe to use from several threads."""

    def __init__(self, handle: Any, label: str, keep: Any = None) -> None:
        self._guard = _Guard(handle, lib.rerazera_package_free)
        self._label = label
        self._keep = keep  # the caller's buffer, for a package opened from memory
        info = ffi.new("rerazera_header_info *")
        rc = lib.rerazera_package_header(handle, info)
        if rc:
            self._guard.close()
            raise _error(rc, "reading the header", label)
        self._info = info

    # header fields
    @property
    def product_type(self) -> int:
        """The header's product type."""
        return int(self._info.product_type)

    @property
    def file_num(self) -> int:
        """The number of entries the header states (may exceed 256)."""
        return int(self._info.file_num)

    @property
    def has_extension(self) -> bool:
        """True when entry 255 opens a valid extension."""
        return int(self._info.extension_state) == 2

    @property
    def extension_count(self) -> int:
        """Extend sub-files the dummy bin header states."""
        return int(self._info.extension_count)

    @property
    def size(self) -> int:
        """Bytes in the snapshot."""
        return int(self._info.size)

    @property
    def header_ok(self) -> bool:
        """True when the header passes its own checks."""
        return int(self._info.header_result) == 0

    @property
    def name(self) -> str:
        """The path (or "<fd N>", "<memory>") the package was opened from."""
        return self._label

    @property
    def entries(self) -> Entries:
        """Every entry, read lazily (see Entries)."""
        return Entries(self, int(self._info.entry_count))

    # life cycle
    def close(self) -> None:
        """Releases the snapshot (after the calls in flight). Entries and
        reports already obtained stay usable."""
        self._guard.close()
        self._keep = None

    def __repr__(self) -> str:
        if self.closed:
            return f"<rerazera.Package {self._label!r} closed>"
        return (
            f"<rerazera.Package {self._label!r} product_type=0x{self.product_type:x} "
            f"file_num={self.file_num} has_extension={self.has_extension} "
            f"entries={self._info.entry_count}>"
        )

    # entries
    def _entry(self, k: int) -> Entry:
        out = ffi.new("rerazera_entry *")
        h = self._guard.acquire(self._label)
        try:
            rc = lib.rerazera_package_entry(h, k, out)
        finally:
            self._guard.release()
        if rc:
            raise _error(rc, f"entry {k}", self._label)
        return Entry(out)

    def _iter_entries(self, count: int) -> Iterator[Entry]:
        # Entries are read in batches into one small array, under one
        # acquisition of the handle per batch: memory stays O(1) while the
        # loop costs little more than the C call per entry.
        get, guard, label = lib.rerazera_package_entry, self._guard, self._label
        for start in range(0, count, _BATCH):
            n = min(_BATCH, count - start)
            batch = ffi.new("rerazera_entry[]", n)
            h = guard.acquire(label)
            try:
                for i in range(n):
                    rc = get(h, start + i, batch + i)
                    if rc:
                        raise _error(rc, f"entry {start + i}", label)
            finally:
                guard.release()
            for i in range(n):
                yield Entry(batch + i, batch)

    def find(
        self,
        *,
        file_id: Optional[int] = None,
        name: Union[str, bytes, None] = None,
        description: Union[str, bytes, None] = None,
    ) -> Optional[Entry]:
        """The first entry (header table first) with this file ID, this exact
        name, or a description containing this text; None when there is
        none. Give exactly one of the three."""
        given = [x is not None for x in (file_id, name, description)]
        if sum(given) != 1:
            raise TypeError("find() takes exactly one of file_id, name, description")
        out = ffi.new("rerazera_entry *")
        h = self._guard.acquire(self._label)
        try:
            if file_id is not None:
                if not 0 <= file_id <= 0xFFFFFFFF:
                    raise ValueError("file_id must fit 32 bits")
                rc = lib.rerazera_package_find_id(h, file_id, out)
            else:
                key = name if name is not None else description
                assert key is not None
                raw = key.encode("utf-8", "surrogateescape") if isinstance(key, str) else key
                if b"\0" in raw:
                    raise ValueError("a name or description holds no NUL byte")
                fn = (
                    lib.rerazera_package_find_name
                    if name is not None
                    else lib.rerazera_package_find_description
                )
                rc = fn(h, raw, out)
        finally:
            self._guard.release()
        if rc == Result.NOT_FOUND:
            return None
        if rc:
            raise _error(rc, "lookup", self._label)
        return Entry(out)

    # verification
    def verify(self) -> Report:
        """The whole-package verdict, as QVPKG_ChkQVFileInfo gives it; the
        per-entry reports are in the result's entries, computed as read. A
        failing package is a Report with ok False, never an exception."""
        msg = ffi.new("char[]", _MSG_SIZE)
        code = ffi.new("int32_t *")
        h = self._guard.acquire(self._label)
        try:
            rc = lib.rerazera_package_verify(h, msg, _MSG_SIZE, code)
        finally:
            self._guard.release()
        if rc not in (Result.OK, Result.CORRUPT, Result.NAME_RULE):
            raise _error(rc, "verifying", self._label)
        return Report(rc, int(code[0]), _text(msg), EntryReports(self, len(self.entries)))

    def _check(self, entry: Entry) -> EntryReport:
        out = ffi.new("rerazera_entry_report *")
        h = self._guard.acquire(self._label)
        try:
            rc = lib.rerazera_package_check_entry(h, entry._c, out)
        finally:
            self._guard.release()
        if rc not in (Result.OK, Result.CORRUPT):
            raise _error(rc, f"checking entry {entry.index}", self._label)
        return EntryReport(out)

    def check(self, entry: Entry) -> EntryReport:
        """The report on one entry (from entries or find())."""
        return self._check(entry)

    # extraction
    def extract(
        self,
        entry: Entry,
        target: Union[PathLike, int, IO[bytes]],
        strip: bool = False,
        check: bool = True,
    ) -> int:
        """Writes an entry's bytes to target: a path (created or truncated;
        removed again when the extraction fails), an int file descriptor
        (left open, written from its position) or a binary file object.
        strip drops the bin header and writes the payload only. check
        verifies the checksums before the first byte is written, so a
        failing entry writes nothing (CorruptError). Returns the bytes
        written."""
        if not isinstance(entry, Entry):
            raise TypeError("extract() takes an Entry")
        flags = (_STRIP if strip else 0) | (_VERIFY_FIRST if check else _NO_CHECK)
        size = (entry.data_len or 0) if strip else entry.length
        if isinstance(target, bool):
            raise TypeError("extract() takes a path, a file descriptor or a file object")
        if isinstance(target, int):
            self._extract_fd(entry, flags, target, self._label)
            return size
        if isinstance(target, (str, bytes, os.PathLike)):
            path = os.fsdecode(os.fspath(target))
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
            try:
                self._extract_fd(entry, flags, fd, path)
            except BaseException:
                os.close(fd)
                os.unlink(path)
                raise
            os.close(fd)
            return size
        return self._extract_file(entry, flags, target)

    def _extract_fd(self, entry: Entry, flags: int, fd: int, where: str) -> None:
        h = self._guard.acquire(self._label)
        try:
            rc = lib.rerazera_package_extract_fd(h, entry._c, flags, fd)
        finally:
            self._guard.release()
        if rc == Result.SINK:
            err = ffi.errno
            raise OSError(err, f"{where}: writing entry {entry.index}: {os.strerror(err)}")
        if rc:
            raise _error(rc, f"extracting entry {entry.index}", self._label)

    def _extract_file(self, entry: Entry, flags: int, f: IO[bytes]) -> int:
        failure: list[BaseException] = []
        written = [0]

        def write(_ctx: Any, data: Any, size: int) -> int:
            try:
                chunk = bytes(ffi.buffer(data, size))
                view = memoryview(chunk)
                while view:
                    n = f.write(view)
                    if n is None or n >= len(view):
                        break
                    view = view[n:]
                written[0] += size
                return 0
            except BaseException as exc:  # handed back to the caller below
                failure.append(exc)
                return 1

        cb = ffi.callback("rerazera_write_fn", write)
        h = self._guard.acquire(self._label)
        try:
            rc = lib.rerazera_package_extract(h, entry._c, flags, cb, ffi.NULL)
        finally:
            self._guard.release()
        if failure:
            raise failure[0]
        if rc:
            raise _error(rc, f"extracting entry {entry.index}", self._label)
        return written[0]


def open(source: Source, *, copy: bool = False) -> Package:  # noqa: A001
    """Opens a package from a path (str, bytes, os.PathLike), from an int
    file descriptor (which stays the caller's) or from a bytes-like object
    (kept, unchanged and unresized, while the package is open: a bytearray
    cannot be resized meanwhile). copy reads a file into private memory, for
    files that others may rewrite. Raises Error (NotFoundError, ...) naming
    the file; a file that opens may still fail verification."""
    out = ffi.new("rerazera_package **")
    opts = ffi.new("rerazera_open_options *")
    opts.flags = 1 if copy else 0
    keep: Any = None
    if isinstance(source, int) and not isinstance(source, bool):
        label = f"<fd {source}>"
        rc = lib.rerazera_package_open_fd(source, opts, out)
    elif isinstance(source, (str, os.PathLike)):
        label = os.fsdecode(os.fspath(source))
        rc = lib.rerazera_package_open_path(_fs(source), opts, out)
    else:
        label = "<memory>"
        try:
            keep = ffi.from_buffer(source)
        except TypeError:
            raise TypeError(
                "open() takes a path, an int file descriptor or a bytes-like object"
            ) from None
        rc = lib.rerazera_package_open_memory(keep, len(keep), opts, out)
    if rc:
        raise _error(rc, "opening", label)
    return Package(out[0], label, keep)


# ---- Streaming ------------------------------------------------------------


class StreamVerifier(_Closing):
    """Verifies a package fed in pieces of any size, in order. on_entry, when
    given, is called with an EntryReport as each entry's last byte arrives;
    an exception it raises stops the feed and propagates. One thread at a
    time: concurrent calls wait for each other."""

    def __init__(
        self, on_entry: Optional[Callable[[EntryReport], object]] = None, *, _state: Any = None
    ) -> None:
        self._lock = threading.Lock()
        self._on_entry = on_entry
        self._failure: list[BaseException] = []
        opts = ffi.new("rerazera_stream_options *")
        self._cb: Any = None
        if on_entry is not None:
            failure = self._failure
            deliver = on_entry

            def call(_ctx: Any, report: Any) -> int:
                try:
                    deliver(EntryReport._copy(report))
                    return 0
                except BaseException as exc:  # re-raised by feed()/finish()
                    failure.append(exc)
                    return 1

            self._cb = ffi.callback("rerazera_stream_entry_fn", call)
            opts.on_entry = self._cb
        self._opts = opts
        out = ffi.new("rerazera_stream **")
        if _state is None:
            rc = lib.rerazera_stream_new(opts, out)
        else:
            buf = ffi.from_buffer(_state)
            rc = lib.rerazera_stream_resume(buf, len(buf), opts, out)
        if rc:
            raise _error(rc, "resuming a stream" if _state is not None else "creating a stream")
        self._s: Any = ffi.gc(out[0], lib.rerazera_stream_free)
        self._finished = False

    @classmethod
    def resume(
        cls, state: Union[bytes, bytearray, memoryview],
        on_entry: Optional[Callable[[EntryReport], object]] = None,
    ) -> "StreamVerifier":
        """A verifier continuing from a checkpoint() at its offset. Raises
        BadStateError for a corrupt or foreign state."""
        return cls(on_entry, _state=state)

    def _raise_failure(self) -> None:
        if self._failure:
            exc = self._failure[0]
            self._failure.clear()
            raise exc

    def _stream(self) -> Any:
        if self._s is None:
            raise ValueError("the stream verifier is closed")
        return self._s

    def feed(self, data: Union[bytes, bytearray, memoryview, Any]) -> None:
        """Feeds the next bytes: any contiguous bytes-like object, read in
        place without a copy."""
        buf = ffi.from_buffer(data)
        with self._lock:
            rc = lib.rerazera_stream_feed(self._stream(), buf, len(buf))
            self._raise_failure()
        if rc:
            raise _error(rc, f"feeding at offset {self.offset}")

    @property
    def offset(self) -> int:
        """Bytes fed so far: where the next feed() continues."""
        with self._lock:
            return int(lib.rerazera_stream_offset(self._stream()))

    @property
    def pending(self) -> int:
        """Entries that finish() will need the bytes again for."""
        with self._lock:
            return int(lib.rerazera_stream_pending(self._stream()))

    def checkpoint(self) -> bytes:
        """A state from which resume() continues at offset."""
        state = ffi.new("void **")
        size = ffi.new("size_t *")
        with self._lock:
            rc = lib.rerazera_stream_checkpoint(self._stream(), state, size)
        if rc:
            raise _error(rc, "checkpoint")
        try:
            return bytes(ffi.buffer(state[0], size[0]))
        finally:
            libc.free(state[0])

    def finish(self, source: Union[PathLike, int, IO[bytes], None] = None) -> Report:
        """Ends the stream and gives the verdict QVPKG_ChkQVFileInfo gives
        the same bytes. source (a path, an int descriptor or a file object
        with fileno()) lets entries that need a second pass be read again;
        without it such a stream raises NeedsSecondPassError."""
        fd, opened = -1, False
        if isinstance(source, bool):
            raise TypeError("finish() takes a path, a file descriptor or a file object")
        if isinstance(source, int):
            fd = source
        elif isinstance(source, (str, bytes, os.PathLike)):
            fd, opened = os.open(os.fspath(source), os.O_RDONLY | os.O_CLOEXEC), True
        elif source is not None:
            fd = source.fileno()
        msg = ffi.new("char[]", _MSG_SIZE)
        code = ffi.new("int32_t *")
        try:
            with self._lock:
                rc = lib.rerazera_stream_finish(self._stream(), fd, msg, _MSG_SIZE, code)
                self._raise_failure()
        finally:
            if opened:
                os.close(fd)
        if rc not in (Result.OK, Result.CORRUPT):
            raise _error(rc, "finishing the stream")
        return Report(rc, int(code[0]), _text(msg), ())

    def close(self) -> None:
        """Releases the verifier."""
        with self._lock:
            s, self._s = self._s, None
            if s is not None:
                ffi.release(s)  # the destructor, rerazera_stream_free, runs now

    def __repr__(self) -> str:
        if self._s is None:
            return "<rerazera.StreamVerifier closed>"
        return f"<rerazera.StreamVerifier offset={self.offset} pending={self.pending}>"


# ---- Signatures -----------------------------------------------------------

_SIGN_OK = 0
_SIGN_IO_ERROR = 8
_SIGN_PACKAGE_FAILED = 9


class SignCode(enum.IntEnum):
    """The signing library's result codes (RERAZERA_SIGN_*): the code of a
    SignatureError and of a SignatureReport."""

    OK = 0
    NO_SIGNATURE = 1
    MALFORMED = 2
    ALGORITHM_REFUSED = 3
    UNKNOWN_KEY = 4
    REVOKED_KEY = 5
    MISMATCH = 6
    COMMENT_FORGED = 7
    IO_ERROR = 8
    PACKAGE_FAILED = 9
    BAD_KEY = 10
    INVALID_ARGUMENT = 11
    NO_MEMORY = 12
    CRYPTO_UNAVAILABLE = 13
    PRODUCT_TYPE_MISMATCH = 14
    VERSION_TOO_OLD = 15
    VERSION_MISSING = 16
    VERSION_MALFORMED = 17
    KEY_CONFLICT = 18
    NEEDS_PASSWORD = 19
    WRONG_PASSWORD = 20
    BAD_SECRET_KEY = 21
    KDF_FAILED = 22
    BAD_COMMENT = 23
    SIGNER_FAILED = 24
    SIGNER_WRONG_KEY = 25
    INDEX_MALFORMED = 26
    BLOCK_MISMATCH = 27
    LENGTH_MISMATCH = 28
    SINK_FAILED = 29
    STOPPED = 30
    STREAM_FAILED = 31


_SIGN_CODES = frozenset(int(c) for c in SignCode)


class SignatureReport:
    """The verdict on a signed package. ok is true when the signature holds
    (and, when checked, the package passes). code is the signature code
    (0 ok, 9 signature valid but package failed, ...), message its text or
    the package's verdict; key_id, trusted_comment and comment_verified come
    from the signature file when it could be parsed."""

    __slots__ = (
        "ok", "code", "message", "package_code", "key_id", "trusted_comment",
        "comment_verified", "legacy",
    )

    def __init__(self, code: int, message: str, package_code: Optional[int], info: Any) -> None:
        self.ok: bool = code == _SIGN_OK
        self.code: int = code
        self.message: str = message
        self.package_code: Optional[int] = package_code
        self.key_id: Optional[str] = None
        self.trusted_comment: Optional[str] = None
        self.comment_verified: bool = False
        self.legacy: bool = False
        if info != ffi.NULL:
            self.key_id = _text(info.key_id)
            if info.trusted_comment != ffi.NULL:
                self.trusted_comment = _text(info.trusted_comment)
            self.comment_verified = bool(info.comment_verified)
            self.legacy = bool(info.legacy)

    def __bool__(self) -> bool:
        return self.ok

    def __repr__(self) -> str:
        return (
            f"<rerazera.SignatureReport ok={self.ok} code={self.code} key_id={self.key_id} "
            f"message={self.message!r}>"
        )


def _sign_error(rc: int, what: str, filename: Optional[str] = None) -> SignatureError:
    code = SignCode(rc) if rc in _SIGN_CODES else rc
    return SignatureError(code, f"{what}: {_text(sign_lib().rerazera_sign_strerror(rc))}", filename)


def _keyring(
    label: str,
    keys: Sequence[PathLike],
    keyring: Union[PathLike, Sequence[PathLike], None],
    revoked: Sequence[str],
) -> Any:
    """A keyring of the key files, the *.pub files of the keyring
    directories and the revoked IDs; SignatureError when one is unusable."""
    s = sign_lib()
    ring_out = ffi.new("rerazera_keyring **")
    rc = s.rerazera_keyring_new(ring_out)
    if rc:
        raise _sign_error(rc, "keyring", label)
    ring = ffi.gc(ring_out[0], s.rerazera_keyring_free)
    files = [os.fspath(k) for k in keys]
    dirs: list[Any] = []
    if keyring is not None:
        dirs = [keyring] if isinstance(keyring, (str, bytes, os.PathLike)) else list(keyring)
    for d in dirs:
        d = os.fsdecode(os.fspath(d))
        files += sorted(os.path.join(d, n) for n in os.listdir(d) if n.endswith(".pub"))
    for k in files:
        rc = s.rerazera_keyring_add_file(ring, os.fsencode(k))
        if rc:
            raise _sign_error(rc, os.fsdecode(k), os.fsdecode(k))
    for key_id in revoked:
        rc = s.rerazera_keyring_revoke(ring, key_id.encode())
        if rc:
            raise _sign_error(rc, f"revoked key ID {key_id}", f"revoked key ID {key_id}")
    if s.rerazera_keyring_size(ring) == 0:
        raise SignatureError(SignCode.UNKNOWN_KEY, f"{label}: no trusted public key given", label)
    return ring


def verify_signature(
    path: PathLike,
    keys: Sequence[PathLike] = (),
    *,
    keyring: Union[PathLike, Sequence[PathLike], None] = None,
    revoked: Sequence[str] = (),
    product_type: Optional[int] = None,
    sig_path: Optional[PathLike] = None,
    allow_legacy: bool = False,
    check_package: bool = True,
) -> SignatureReport:
    """Checks the detached signature of the package at path (sig_path, by
    default path + ".minisig") against the public key files in keys and the
    *.pub files of the keyring directory (or directories), refusing the key
    IDs in revoked; then, unless check_package is false, the package's own
    checks over the same mapping. product_type, when given, must equal the
    package's. A bad signature or package is a report with ok False; keys
    that cannot be read raise SignatureError."""
    s = sign_lib()
    label = os.fsdecode(os.fspath(path))
    ring = _keyring(label, keys, keyring, revoked)
    sig = _fs(sig_path) if sig_path is not None else ffi.NULL
    flags = 1 if allow_legacy else 0
    info = ffi.new("rerazera_signature_info **")
    package_code: Optional[int] = None
    if check_package:
        msg = ffi.new("char[]", _MSG_SIZE)
        pcode = ffi.new("int32_t *", 0)
        rc = s.rerazera_verify_package(ring, _fs(path), sig, flags, msg, _MSG_SIZE, pcode, info)
        if rc in (_SIGN_OK, _SIGN_PACKAGE_FAILED):
            package_code = int(pcode[0])
        message = _text(msg) if rc == _SIGN_PACKAGE_FAILED else _text(s.rerazera_sign_strerror(rc))
    else:
        rc = s.rerazera_verify_signature(ring, _fs(path), sig, flags, info)
        message = _text(s.rerazera_sign_strerror(rc))
    try:
        report = SignatureReport(int(rc), message, package_code, info[0])
    finally:
        s.rerazera_signature_info_free(info[0])
    if report.ok and product_type is not None:
        with open(path) as pkg:
            if pkg.product_type != product_type:
                report.ok = False
                report.code = _SIGN_PACKAGE_FAILED
                report.message = (
                    f"product type 0x{pkg.product_type:x}, expected 0x{product_type:x}"
                )
    return report


# ---- Signing --------------------------------------------------------------


def _comment_bytes(text: str) -> bytes:
    return text.encode("utf-8", "surrogateescape")


class KeyPair:
    """A new key pair (keygen()): public_file and secret_file are the texts
    of a minisign public and secret key file, key_id the key's ID as minisign
    prints it. The repr leaves the secret out."""

    __slots__ = ("public_file", "secret_file", "key_id")

    def __init__(self, public_file: str, secret_file: str, key_id: str) -> None:
        self.public_file = public_file
        self.secret_file = secret_file
        self.key_id = key_id

    def __repr__(self) -> str:
        return f"<rerazera.KeyPair key_id={self.key_id}>"


def keygen(password: Optional[str] = None) -> KeyPair:
    """A new Ed25519 key pair in minisign's formats. With a password (not
    empty) the secret key is encrypted as minisign encrypts it (scrypt:
    about 1 GiB and a few seconds). The library's copy of the secret text is
    wiped; the returned str is an ordinary Python string, which Python cannot
    wipe: write it to its file and drop it."""
    s = sign_lib()
    public, secret = ffi.new("char **"), ffi.new("char **")
    key_id = ffi.new("char[17]")
    pw = password.encode() if password is not None else ffi.NULL
    rc = s.rerazera_keygen(pw, public, secret, key_id)
    if rc:
        raise _sign_error(rc, "keygen")
    try:
        return KeyPair(_text(public[0]), _text(secret[0]), _text(key_id))
    finally:
        libc.free(public[0])
        s.rerazera_secret_text_free(secret[0])


class SecretKey(_Guarded):
    """A minisign secret key, decrypted in memory: SecretKey.read(path).
    Use it as a context manager, or call close(), which wipes it (once the
    signing calls in flight have returned)."""

    def __init__(self, handle: Any, label: str) -> None:
        s = sign_lib()
        self._guard = _Guard(handle, s.rerazera_secret_key_free, "secret key")
        self._label = label
        key_id = ffi.new("char[17]")
        s.rerazera_secret_key_id(handle, key_id)
        self._key_id = _text(key_id)

    @classmethod
    def read(cls, path: PathLike, password: Optional[str] = None) -> "SecretKey":
        """Reads a minisign secret key file (from minisign -G, rerazera
        keygen or keygen()). Raises SignatureError with code
        SignCode.NEEDS_PASSWORD (encrypted, no password given),
        WRONG_PASSWORD, BAD_SECRET_KEY or IO_ERROR."""
        label = os.fsdecode(os.fspath(path))
        out = ffi.new("rerazera_secret_key **")
        pw = password.encode() if password is not None else ffi.NULL
        rc = sign_lib().rerazera_secret_key_read(_fs(path), pw, out)
        if rc:
            raise _sign_error(rc, f"{label}: reading the secret key", label)
        return cls(out[0], label)

    @property
    def key_id(self) -> str:
        """The key's ID text (16 upper-case hex digits)."""
        return self._key_id

    def close(self) -> None:
        """Wipes and releases the key."""
        self._guard.close()

    def __repr__(self) -> str:
        state = " closed" if self.closed else ""
        return f"<rerazera.SecretKey {self._label} key_id={self._key_id}{state}>"


def package_comment(
    package: PathLike,
    *,
    version: Optional[str] = None,
    file: Optional[PathLike] = None,
    timestamp: Optional[int] = None,
) -> str:
    """The trusted comment `rerazera sign` writes, as tab-separated fields:
    timestamp (timestamp, else SOURCE_DATE_EPOCH, else now), file and size
    (of file when given, such as the package's index, else of the package),
    product-type (the package header's) and version when given (dotted
    integers), which a minimum version (`rerazera verify --min-version`,
    SignedIndex(min_version=)) is compared with. Raises CorruptError for a
    package that fails its checks (only those are worth a signature) and
    SignatureError (VERSION_MALFORMED) for a version that is not one."""
    label = os.fsdecode(os.fspath(package))
    if version is not None:
        order = ffi.new("int *")
        v = version.encode()
        rc = sign_lib().rerazera_version_compare(v, v, order)
        if rc:
            raise _sign_error(rc, f"version {version!r}")
    with open(package) as pkg:
        report = pkg.verify()
        if not report.ok:
            raise CorruptError(
                Result.CORRUPT, f"{label}: not signed, the package fails its checks: "
                f"{report.message}", label)
        product_type = pkg.product_type
    signed = os.fsdecode(os.fspath(file)) if file is not None else label
    if timestamp is None:
        epoch = os.environ.get("SOURCE_DATE_EPOCH")
        timestamp = int(epoch) if epoch is not None else int(time.time())
    fields = [f"timestamp:{timestamp}", f"file:{os.path.basename(signed)}",
              f"size:{os.path.getsize(signed)}", f"product-type:{product_type}"]
    if version is not None:
        fields.append(f"version:{version}")
    return "\t".join(fields)


def sign_file(
    path: PathLike,
    key: SecretKey,
    *,
    trusted_comment: Optional[str] = None,
    untrusted_comment: str = "",
) -> str:
    """The text of a minisign signature file (prehashed "ED") for the file
    at path, which `minisign -Vm` and verify_signature() accept; write it to
    path + ".minisig". trusted_comment defaults to package_comment(path),
    the comment `rerazera sign` writes without --version; pass
    package_comment(path, version=...) to sign a release's version, or any
    one line of printable text (tabs allowed). The signature is checked
    against the key before it is returned. Raises SignatureError
    (BAD_COMMENT, IO_ERROR, ...)."""
    label = os.fsdecode(os.fspath(path))
    if trusted_comment is None:
        trusted_comment = package_comment(path)
    out = ffi.new("char **")
    h = key._guard.acquire(key._label)
    try:
        rc = sign_lib().rerazera_sign_file(
            h, _fs(path), _comment_bytes(trusted_comment), _comment_bytes(untrusted_comment), out)
    finally:
        key._guard.release()
    if rc:
        raise _sign_error(rc, f"{label}: not signed", label)
    try:
        return _text(out[0])
    finally:
        libc.free(out[0])


# ---- Signed indexes -------------------------------------------------------

_DIGESTS = {"blake2b-256": 1, "sha-256": 2}


def build_index(path: PathLike, digest: str = "blake2b-256", block_size: int = 0) -> bytes:
    """The index text of the package at path: the digest ("blake2b-256" or
    "sha-256") of every block of block_size bytes (a power of two from 4 KiB
    to 64 MiB; 0 means 1 MiB). Write it to path + ".index" and sign that
    file with sign_file() (trusted_comment=package_comment(path,
    file=index_path, ...), as `rerazera sign --index` does). The package is
    not judged: index only packages that pass their checks."""
    label = os.fsdecode(os.fspath(path))
    code = _DIGESTS.get(digest)
    if code is None:
        raise ValueError(f"digest {digest!r}: not one of {', '.join(_DIGESTS)}")
    text, size = ffi.new("char **"), ffi.new("size_t *")
    rc = sign_lib().rerazera_index_build(_fs(path), code, block_size, text, size)
    if rc:
        raise _sign_error(rc, f"{label}: no index", label)
    try:
        return bytes(ffi.buffer(text[0], size[0]))
    finally:
        libc.free(text[0])


def _policy(
    label: str,
    keys: Sequence[PathLike],
    keyring: Union[PathLike, Sequence[PathLike], None],
    revoked: Sequence[str],
    product_type: Optional[int],
    min_version: Optional[str],
    allow_legacy: bool,
) -> tuple[Any, Any]:
    """A verification policy over _keyring()'s keyring; returns both, as
    the policy borrows the keyring."""
    s = sign_lib()
    ring = _keyring(label, keys, keyring, revoked)
    out = ffi.new("rerazera_policy **")
    rc = s.rerazera_policy_new(out)
    if rc:
        raise _sign_error(rc, "policy", label)
    policy = ffi.gc(out[0], s.rerazera_policy_free)
    s.rerazera_policy_set_keyring(policy, ring)
    s.rerazera_policy_allow_legacy(policy, int(allow_legacy))
    if product_type is not None:
        s.rerazera_policy_set_product_type(policy, product_type)
    if min_version is not None:
        rc = s.rerazera_policy_set_min_version(policy, min_version.encode())
        if rc:
            raise _sign_error(rc, f"minimum version {min_version!r}")
    return policy, ring


class SignedIndex(_Guarded):
    """A package's index (PACKAGE.index) whose signature (sig_path, by
    default path + ".minisig") holds under a policy: the keys, keyring and
    revoked IDs as verify_signature() takes them, the device's product_type
    and the lowest release version accepted (min_version, compared with the
    trusted comment's version field). The index file is read once and its
    signature checked over those bytes before it is parsed. A refusal raises
    SignatureError with its code (UNKNOWN_KEY, MISMATCH,
    PRODUCT_TYPE_MISMATCH, VERSION_TOO_OLD, VERSION_MISSING,
    INDEX_MALFORMED, ...). Immutable: any number of threads may stream
    against one index. Use it as a context manager, or call close()."""

    _DIGEST_NAMES = {v: k for k, v in _DIGESTS.items()}

    def __init__(
        self,
        path: PathLike,
        keys: Sequence[PathLike] = (),
        *,
        keyring: Union[PathLike, Sequence[PathLike], None] = None,
        revoked: Sequence[str] = (),
        product_type: Optional[int] = None,
        min_version: Optional[str] = None,
        sig_path: Optional[PathLike] = None,
        allow_legacy: bool = False,
    ) -> None:
        s = sign_lib()
        label = self._label = os.fsdecode(os.fspath(path))
        policy, _ring = _policy(label, keys, keyring, revoked, product_type, min_version,
                                allow_legacy)
        out = ffi.new("rerazera_index **")
        info = ffi.new("rerazera_signature_info **")
        sig = _fs(sig_path) if sig_path is not None else ffi.NULL
        rc = s.rerazera_index_open(policy, _fs(path), sig, out, info)
        try:
            signed = SignatureReport(int(rc), "", None, info[0])
        finally:
            s.rerazera_signature_info_free(info[0])
        if rc:
            raise _sign_error(rc, f"{label}: index refused", label)
        self.key_id: str = signed.key_id or ""  # the key that signed the index
        self.trusted_comment: str = signed.trusted_comment or ""  # authenticated
        self._info = ffi.new("rerazera_index_info *")
        s.rerazera_index_get_info(out[0], self._info)
        self._guard = _Guard(out[0], s.rerazera_index_free, "index")

    @property
    def size(self) -> int:
        """The package's size in bytes."""
        return int(self._info.size)

    @property
    def digest(self) -> str:
        """"blake2b-256" or "sha-256"."""
        return self._DIGEST_NAMES.get(int(self._info.digest), str(self._info.digest))

    @property
    def block_size(self) -> int:
        """Bytes per block (the last block may be shorter)."""
        return int(self._info.block_size)

    @property
    def block_count(self) -> int:
        """Blocks the index holds a digest for."""
        return int(self._info.block_count)

    @property
    def entry_count(self) -> int:
        """Sub-files the index names."""
        return int(self._info.entry_count)

    @property
    def product_type(self) -> int:
        """The package header's product type, as the index states it."""
        return int(self._info.product_type)

    def close(self) -> None:
        """Releases the index once no stream uses it any more."""
        self._guard.close()

    def __repr__(self) -> str:
        if self.closed:
            return f"<rerazera.SignedIndex {self._label} closed>"
        return (
            f"<rerazera.SignedIndex {self._label} size={self.size} blocks={self.block_count} "
            f"block_size={self.block_size} key_id={self.key_id}>"
        )


class SignedStreamVerifier(_Closing):
    """The strict stream: a package's bytes fed in any chunking are
    gathered into blocks, and each block is checked against the index's
    digest before anything of it goes further. Only then are its bytes
    checked as StreamVerifier checks them and handed to sink (a callable
    taking bytes; an exception it raises stops the stream and propagates).
    A block that does not match stops the stream with StreamRefusedError
    naming it; nothing of it reaches the sink, and every later call raises
    the same refusal. Holds the index open until close(). One thread at a
    time: concurrent calls wait for each other."""

    def __init__(
        self, index: SignedIndex, sink: Optional[Callable[[bytes], object]] = None
    ) -> None:
        s = sign_lib()
        self._lock = threading.Lock()
        self._label = index._label
        self._failure: list[BaseException] = []
        self._cb: Any = ffi.NULL
        if sink is not None:
            failure, deliver = self._failure, sink

            def call(_ctx: Any, data: Any, size: int) -> int:
                try:
                    deliver(bytes(ffi.buffer(data, size)))
                    return 0
                except BaseException as exc:  # re-raised by feed()/finish()
                    failure.append(exc)
                    return 1

            self._cb = ffi.callback("rerazera_sink_fn", call)
        guard = index._guard
        handle = guard.acquire(index._label)
        out = ffi.new("rerazera_signed_stream **")
        rc = s.rerazera_signed_stream_new(handle, self._cb, ffi.NULL, ffi.NULL, out)
        if rc:
            guard.release()
            raise _sign_error(rc, f"{index._label}: creating a strict stream", index._label)

        def free(stream: Any) -> None:
            s.rerazera_signed_stream_free(stream)
            guard.release()

        self._s: Any = ffi.gc(out[0], free)

    def _stream(self) -> Any:
        if self._s is None:
            raise ValueError("the strict stream is closed")
        return self._s

    def _check(self, rc: int, what: str) -> None:
        if self._failure:
            exc = self._failure[0]
            self._failure.clear()
            raise exc
        if rc in (_SIGN_OK, _SIGN_PACKAGE_FAILED):
            return
        f = ffi.new("rerazera_stream_failure *")
        sign_lib().rerazera_signed_stream_failure(self._s, f)
        if f.result == _SIGN_OK:  # a misuse, such as a call after finish()
            raise _sign_error(rc, f"{self._label}: {what}", self._label)
        entry = (Table(f.table), int(f.index)) if f.has_entry else None
        where = f"block {f.block} (bytes {f.offset}+{f.length}"
        if entry is not None:
            where += f", {entry[0].name.lower()}[{entry[1]}]"
        err = _sign_error(rc, f"{self._label}: {what}: {where})", self._label)
        refused = StreamRefusedError(err.code, str(err), self._label)
        refused.block, refused.offset, refused.length = int(f.block), int(f.offset), int(f.length)
        refused.entry = entry
        refused.stream_result = Result(f.stream_result) if f.stream_result else None
        raise refused

    def feed(self, data: Union[bytes, bytearray, memoryview, Any]) -> None:
        """Feeds the next bytes: any contiguous bytes-like object, read in
        place. Raises StreamRefusedError when the stream stops."""
        buf = ffi.from_buffer(data)
        with self._lock:
            rc = sign_lib().rerazera_signed_stream_feed(self._stream(), buf, len(buf))
            self._check(rc, "feeding")

    @property
    def proven(self) -> int:
        """Bytes handed to the sink so far: every one of them proven."""
        with self._lock:
            return int(sign_lib().rerazera_signed_stream_proven(self._stream()))

    def finish(self) -> Report:
        """Ends the stream: the verdict StreamVerifier gives the same bytes
        (a Report with empty entries). Raises StreamRefusedError for fewer
        bytes than the index covers (LENGTH_MISMATCH), a layout that needs a
        second pass (STREAM_FAILED) or an earlier refusal."""
        msg = ffi.new("char[]", _MSG_SIZE)
        code = ffi.new("int32_t *")
        with self._lock:
            rc = sign_lib().rerazera_signed_stream_finish(self._stream(), msg, _MSG_SIZE, code)
            self._check(rc, "finishing")
        result = Result.OK if rc == _SIGN_OK else Result.CORRUPT
        return Report(result, int(code[0]), _text(msg), ())

    def close(self) -> None:
        """Releases the stream (and its hold on the index)."""
        with self._lock:
            s, self._s = self._s, None
            if s is not None:
                ffi.release(s)  # the destructor runs now

    def __repr__(self) -> str:
        if self._s is None:
            return "<rerazera.SignedStreamVerifier closed>"
        return f"<rerazera.SignedStreamVerifier {self._label} proven={self.proven}>"
