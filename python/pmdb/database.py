"""Databases: opening and creating, records, keys, control values and
transactions, over the library's C calls.

Every change is committed: outside ``with db.transaction():`` each changing
call is its own transaction (lock, change, commit); inside one, the
changes are committed together at the end of the block. A change that
needs several C calls (a record and its keys) either happens whole or not
at all: when a later call fails, the earlier ones are undone before the
error is raised.
"""

from __future__ import annotations

import atexit
import ctypes
import os
import weakref
from contextlib import contextmanager
from typing import Any, Dict, Iterator, List, Mapping, Optional, Tuple, Union

from . import _keys, _schema
from ._lib import call, lib, lock
from .errors import (DuplicateKeyError, Error, NotFoundError, OpenError, ReadOnlyError, RollbackError)

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
FileRef = Union[int, str]

MAXRECORD = 32767
ERR_READONLY = 1025
ERR_NORECORD = 1345  # recorded first whenever a rid names no live record


def _raise(what: str, nums: List[int], text: str, pmerrno: int = 0, cls: type = Error,
           notfound: Tuple[int, ...] = ()) -> None:
    if ERR_READONLY in nums:
        cls = ReadOnlyError
    elif nums and nums[-1] in notfound and ERR_NORECORD in nums:
        cls = NotFoundError
    raise cls(what, nums, pmerrno, text)


def _fspath(path: PathLike) -> bytes:
    return os.fsencode(path)


def _rid(rid: Any) -> int:
    # ctypes would quietly cut a larger int to 32 bits: another record.
    if isinstance(rid, bool) or not isinstance(rid, int):
        raise TypeError(f"a rid is an int, not {type(rid).__name__}")
    if not 0 <= rid <= 0xFFFFFFFF:
        raise ValueError(f"a rid is a 32-bit number, not {rid}")
    return rid


def _bytes(data: Any, what: str) -> bytes:
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"{what} takes bytes, not {type(data).__name__}")
    raw = bytes(data)
    if len(raw) > MAXRECORD:
        raise ValueError(f"a record holds at most {MAXRECORD} bytes, not {len(raw)}")
    return raw


_open_databases: "weakref.WeakSet[Database]" = weakref.WeakSet()


@atexit.register
def _close_all() -> None:
    # Like files, databases still open at exit are closed (which commits);
    # one inside a failed transaction is left alone, so that nothing of it
    # is written.
    for db in list(_open_databases):
        if not db._intxn:
            try:
                db.close()
            except Error:
                pass


class Database:
    """An open database. Made by ``pmdb.open()`` and ``pmdb.create()``; use
    it as a context manager, or call ``close()``.

    Logical files are named by number (1 to 15) or by the name the schema
    gives them; subkeys by number (0 to 15). Records are bytes, at most
    32767 of them (the stored, packed form must fit a block: at most 1008
    bytes). Rids are ints.
    """

    def __init__(self, fs: Any, path: str, readonly: bool) -> None:
        self._fs = fs
        self._inst = lib.inst()
        self.path = path
        self.readonly = readonly
        self._intxn = False
        # The schema as read from the database; only create() changes it.
        self._keytypes: Dict[int, Tuple[int, bool]] = {}
        self._names: Optional[Dict[str, int]] = None
        self._buf = ctypes.create_string_buffer(MAXRECORD + 1)
        _open_databases.add(self)

    # ---- life --------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._fs is None

    def close(self) -> None:
        """Commits and closes the database; a second close does nothing."""
        with lock:
            if self._fs is None:
                return
            if self._intxn:
                raise Error(f"{self.path}: close inside a transaction; end the transaction first")
            call("fsclose", self._inst, self._fs)
            self._fs = None
            _open_databases.discard(self)

    def __enter__(self) -> "Database":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else ("read-only" if self.readonly else "open")
        return f"<pmdb.Database {self.path!r} {state}>"

    def _h(self) -> Any:
        if self._fs is None:
            raise ValueError(f"{self.path}: the database is closed")
        return self._fs

    def _call(self, what: str, name: str, *args: Any, ok: Any = bool, notfound: Tuple[int, ...] = ()) -> Any:
        r, nums, text = call(name, self._inst, self._h(), *args)
        if not ok(r):
            _raise(f"{self.path}: {what}", nums, text, notfound=notfound)
        return r

    # ---- transactions ------------------------------------------------

    @property
    def can_rollback(self) -> bool:
        """Whether a failed transaction can be undone (the library has
        fsrollback)."""
        return lib.has("fsrollback")

    def _commit(self) -> None:
        r, nums, text = call("fsunlock", self._inst, self._h())
        if not r:
            err = Error(f"{self.path}: commit", nums, lib.load().fsgeterrno(), text)
            # A failed commit keeps its changes for the next one; they
            # belong to a change that has failed, so they go now, where the
            # library can drop them, rather than with some later commit.
            try:
                self._rollback()
            except RollbackError as e:
                raise e from err
            raise err

    def _rollback(self) -> bool:
        if not self.can_rollback:
            return False
        r, nums, text = call("fsrollback", self._inst, self._h())
        if not r:
            raise RollbackError(f"{self.path}: rollback", nums, 0, text)
        return True

    @contextmanager
    def transaction(self) -> Iterator["Database"]:
        """``with db.transaction():`` groups changes into one commit at the
        end of the block. An exception inside rolls every change of the
        block back and propagates; where the library cannot roll back
        (``can_rollback`` is false), a ``RollbackError`` says so, raised
        from the original exception. Transactions do not nest; other threads
        wait for the module while one is open."""
        with lock:
            self._h()
            if self._intxn:
                raise Error(f"{self.path}: a transaction is already open")
            self._call("begin a transaction", "fslock", None)
            self._intxn = True
            try:
                yield self
            except BaseException as exc:
                self._intxn = False
                if self._fs is None or self._rollback():
                    raise
                raise RollbackError(
                    f"{self.path}: the transaction failed and cannot be rolled back (this library has no "
                    "fsrollback): its changes made before the failure stay and are written by the next commit "
                    "or close") from exc
            self._intxn = False
            self._commit()

    @contextmanager
    def _unit(self) -> Iterator[None]:
        # One change outside a transaction: locked, then committed, or, when
        # it failed, rolled back where the library can (the failed calls
        # themselves change nothing, and _undo repairs the rest).
        with lock:
            if self._intxn:
                yield
                return
            self._call("lock", "fslock", None)
            try:
                yield
            except BaseException:
                if not self._rollback():
                    self._commit()
                raise
            self._commit()

    # ---- logical files and subkeys -----------------------------------

    def _fileno(self, file: FileRef) -> int:
        if isinstance(file, str):
            if self._names is None:
                self._names = {name.decode("utf-8", "surrogateescape"): n
                               for n, (name, _, _) in sorted(self._schema_files().items(), reverse=True) if name}
            if file not in self._names:
                raise ValueError(f"{self.path}: no logical file is named {file!r}")
            return self._names[file]
        if isinstance(file, bool) or not isinstance(file, int) or not 1 <= file <= 15:
            raise ValueError(f"a logical file is 1..15 or its name, not {file!r}")
        return file

    def _fid(self, file: FileRef, subkey: int) -> Tuple[int, int]:
        """(fid, keytype) of a subkey."""
        n = self._fileno(file)
        if isinstance(subkey, bool) or not isinstance(subkey, int) or not 0 <= subkey <= 15:
            raise ValueError(f"a subkey is 0..15, not {subkey!r}")
        fid = n << 4 | subkey
        t = self._subkey(fid)[0]
        if not 0 <= t < len(_keys.KEYTYPES):
            raise Error(f"{self.path}: subkey {n}.{subkey} takes no keys (key type {t})")
        return fid, t

    def _subkey(self, fid: int) -> Tuple[int, bool]:
        if fid not in self._keytypes:
            kt, dup = ctypes.c_int16(), ctypes.c_int16()
            self._call(f"subkey {fid >> 4}.{fid & 15}", "fsgetsubkey", fid, ctypes.byref(kt), ctypes.byref(dup))
            self._keytypes[fid] = (kt.value, bool(dup.value))
        return self._keytypes[fid]

    def _schema_files(self) -> _schema.Files:
        files: _schema.Files = {}
        name = ctypes.create_string_buffer(16)
        rlen = ctypes.c_int16()
        with lock:
            for n in range(1, _schema.NUMFILES + 1):
                self._call(f"file {n}", "fsgetfile", n, name, ctypes.byref(rlen))
                keys = {}
                for s in range(_schema.NUMSUBKEYS):
                    t, dup = self._subkey(n << 4 | s)
                    if t != 0 or dup != _schema.default_dup(s):
                        keys[s] = (t, dup)
                if name.value or rlen.value or keys:
                    files[n] = (name.value, rlen.value, keys)
        return files

    @property
    def schema(self) -> Dict[str, Any]:
        """The schema as a dict (see ``pmdb.create``), with what a new
        database has left out: a file appears when it has a name, a record
        length or a subkey set up otherwise than by default."""
        return _schema.as_dict(None, self._schema_files())

    def _define(self, files: _schema.Files) -> None:
        for n, (name, rlen, keys) in sorted(files.items()):
            if name is not None or rlen is not None:
                self._call(f"define file {n}", "fsdefinefile", n, name or b"", rlen or 0)
            for s, (t, dup) in sorted(keys.items()):
                self._call(f"define subkey {n}.{s}", "fsdefinesubkey", n << 4 | s, t, int(dup))
        self._keytypes.clear()
        self._names = None

    # ---- records -----------------------------------------------------

    def add(self, file: FileRef, data: bytes, keys: Optional[Mapping[int, Any]] = None) -> int:
        """Adds a record to a logical file, with its keys ({subkey: value})
        when given; returns its rid. Either the record and all its keys are
        added or nothing is (``DuplicateKeyError`` when a unique key's value
        is taken)."""
        n = self._fileno(file)
        raw = _bytes(data, "add")
        encoded = self._encodekeys(n, keys)
        with lock, self._unit():
            rid = self._call(f"add a record to file {n}", "fsadd", raw, len(raw), n << 4)
            done: List[Tuple[int, bytes]] = []
            try:
                for fid, value in encoded:
                    self._addkey(fid, rid, value)
                    done.append((fid, value))
            except BaseException:

                def undo() -> None:
                    for f, v in done:
                        self._delkey(f, rid, v)
                    self._call("undo the add", "fsdelete", rid)

                self._undo(undo)
                raise
            return rid

    def read(self, rid: int) -> bytes:
        """The record's bytes; ``NotFoundError`` when the rid names no live
        record."""
        _rid(rid)
        with lock:
            h = self._h()
            if lib.has("fsreadn"):
                r, nums, text = call("fsreadn", self._inst, h, rid, self._buf, MAXRECORD)
            else:
                r, nums, text = call("fsread", self._inst, h, rid, self._buf)
            if r == 0 and nums:
                _raise(f"{self.path}: read rid {rid:08x}", nums, text, notfound=(1125,))
            return ctypes.string_at(self._buf, r)

    def write(self, rid: int, data: bytes) -> None:
        """Replaces the record's bytes; its rid and keys stay."""
        raw = _bytes(data, "write")
        _rid(rid)
        with self._unit():
            self._call(f"write rid {rid:08x}", "fswrite", raw, len(raw), rid, notfound=(1160,))

    def delete(self, rid: int, keys: Optional[Mapping[int, Any]] = None) -> None:
        """Deletes the record, and first its keys ({subkey: value}) when
        given. Either all go or nothing does: ``NotFoundError`` when the
        record or one of the keys is not there."""
        _rid(rid)
        encoded = self._encodekeys(rid >> 28, keys) if keys else []
        with lock, self._unit():
            done: List[Tuple[int, bytes]] = []
            try:
                for fid, value in encoded:
                    self._delkey(fid, rid, value)
                    done.append((fid, value))
                self._call(f"delete rid {rid:08x}", "fsdelete", rid, notfound=(1105,))
            except BaseException:

                def undo() -> None:
                    for f, v in done:
                        self._addkey(f, rid, v)

                self._undo(undo)
                raise

    def records(self, file: FileRef, reverse: bool = False) -> Iterator[Tuple[int, bytes]]:
        """(rid, bytes) of every record of a logical file, in rid order.
        Records may be changed or deleted while the walk goes on."""
        n = self._fileno(file)
        rid = self._checked(f"first record of file {n}", "fslast" if reverse else "fsfirst", n << 4)
        step = "fsprev" if reverse else "fsnext"
        while rid:
            yield rid, self.read(rid)
            rid = self._checked(f"record after rid {rid:08x}", step, rid)

    def _checked(self, what: str, name: str, *args: Any) -> int:
        # Calls whose 0 means both "none" and "failed": the ring tells.
        r, nums, text = call(name, self._inst, self._h(), *args)
        if r == 0 and nums:
            _raise(f"{self.path}: {what}", nums, text)
        return r

    def _undo(self, fn: Any) -> None:
        # Puts back what a failed change did; a failure here leaves the
        # original error to be raised, but must not hide that the undo
        # failed too.
        try:
            fn()
        except Error as e:
            raise RollbackError(f"{self.path}: undoing a failed change failed: {e}") from e

    # ---- keys --------------------------------------------------------

    def _encodekeys(self, n: int, keys: Optional[Mapping[int, Any]]) -> List[Tuple[int, bytes]]:
        out = []
        for s, value in (keys or {}).items():
            fid, t = self._fid(n, s)
            out.append((fid, _keys.encode(t, value)))
        return out

    def _addkey(self, fid: int, rid: int, raw: bytes) -> None:
        if not raw:
            # The index compares an empty value equal to every key of its
            # subkey: it would stand alone there, refusing every other key.
            raise ValueError(f"an empty value cannot be a key (subkey {fid >> 4}.{fid & 15}): the index holds it "
                             "equal to every other key")
        r, nums, text = call("fsaddkey", self._inst, self._h(), fid, rid, len(raw), raw)
        if not r:
            cls = DuplicateKeyError if nums == [1145] else Error
            _raise(f"{self.path}: add key {fid >> 4}.{fid & 15} {raw!r} for rid {rid:08x}", nums, text, cls=cls)

    def _delkey(self, fid: int, rid: int, raw: bytes) -> None:
        if not raw and self._first(fid) != (b"", rid):
            # The library takes an empty value as "the first key of the
            # subkey", whatever it is; only that key of this rid may go.
            raise NotFoundError(f"{self.path}: delete key {fid >> 4}.{fid & 15} '' of rid {rid:08x}: no such key")
        r, nums, text = call("fsdeletekey", self._inst, self._h(), fid, rid, len(raw), raw)
        if not r:
            cls = Error if nums else NotFoundError
            _raise(f"{self.path}: delete key {fid >> 4}.{fid & 15} {raw!r} of rid {rid:08x}", nums, text, cls=cls)

    def add_key(self, rid: int, subkey: int, value: Any) -> None:
        """Adds a key of the record's logical file."""
        fid, t = self._fid(_rid(rid) >> 28, subkey)
        raw = _keys.encode(t, value)
        with self._unit():
            self._addkey(fid, rid, raw)

    def delete_key(self, rid: int, subkey: int, value: Any) -> None:
        """Removes a key of the record; ``NotFoundError`` when absent."""
        fid, t = self._fid(_rid(rid) >> 28, subkey)
        raw = _keys.encode(t, value)
        with self._unit():
            self._delkey(fid, rid, raw)

    def find(self, file: FileRef, subkey: int, value: Any) -> Optional[int]:
        """The rid of the first key (smallest rid) of exactly this value, or
        None."""
        fid, t = self._fid(file, subkey)
        raw = _keys.encode(t, value)
        with lock:
            if not raw:
                # An empty value would find the first key of any value.
                found = self._first(fid)
                return found[1] if found and not found[0] else None
            found = self._find(fid, raw)
            return found[1] if found else None

    def scan(self, file: FileRef, subkey: int, start: Any = None, stop: Any = None,
             reverse: bool = False) -> Iterator[Tuple[Any, int]]:
        """(value, rid) of the keys of a subkey with start <= value < stop
        (either end may be None), in the index's order, or backwards. Values
        come as the key type gives them (see the module's documentation)."""
        fid, t = self._fid(file, subkey)
        lo = _keys.encode(t, start) if start is not None else None
        hi = _keys.encode(t, stop) if stop is not None else None
        low = _keys.order(t, lo) if lo else None
        high = _keys.order(t, hi) if hi else None
        if hi == b"":
            return  # nothing is below the empty value
        with lock:
            if reverse:
                cur = self._before(fid, hi, None) if hi else self._lastofsubkey(fid)
            elif lo:
                cur = self._find(fid, lo) or self._next(fid, lo, 0)
            else:
                cur = self._first(fid)
        while cur:
            value, rid = cur
            if value:
                o = _keys.order(t, value)
                if (reverse and low is not None and o < low) or (not reverse and high is not None and o >= high):
                    return
            yield _keys.decode(t, value), rid
            with lock:
                cur = self._before(fid, value, rid) if reverse else self._next(fid, value, rid)

    # Key searches, each (value bytes, rid) or None. The forward ones learn
    # the value's length from FS.len; the backward ones do not, and find it
    # as _before explains.

    def _valbuf(self, raw: bytes, fill: int = 0) -> Any:
        return ctypes.create_string_buffer(raw + bytes([fill]) * (256 - len(raw)), 256)

    def _first(self, fid: int) -> Optional[Tuple[bytes, int]]:
        buf = self._valbuf(b"")
        rid = self._checked("first key", "fsfirstkey", fid, buf)
        return (buf.raw[:self._h().contents.len - 1], rid) if rid else None

    def _next(self, fid: int, raw: bytes, rid: int) -> Optional[Tuple[bytes, int]]:
        buf = self._valbuf(raw)
        found = self._checked("next key", "fsnextkey", fid, rid, len(raw), buf)
        return (buf.raw[:self._h().contents.len - 1], found) if found else None

    def _find(self, fid: int, raw: bytes) -> Optional[Tuple[bytes, int]]:
        rid = self._checked("find key", "fsfindkey", fid, len(raw), self._valbuf(raw))
        return (raw, rid) if rid else None

    def _before(self, fid: int, raw: bytes, rid: Optional[int]) -> Optional[Tuple[bytes, int]]:
        """The key before (raw, rid), or with rid None the greatest key whose
        value is below raw.

        The search copies the found value over the start of the buffer but
        says nothing of its length. Searching twice, with the bytes after
        raw filled with 0x00 and then 0xff, shows where the copy ended when
        it reached past raw. Otherwise the value is one of the buffer's
        prefixes that keep every byte the copy changed; the longest of them
        that is a key of the found rid (and is not the value searched for,
        where that cannot come before it) is the one."""
        bufs = [self._valbuf(raw, fill) for fill in (0, 0xFF)]
        found = 0
        for buf in bufs:
            if rid is None:
                found = self._checked("key before", "fslastkey", fid, len(raw), buf)
            else:
                found = self._checked("key before", "fsprevkey", fid, rid, len(raw), buf)
            if not found:
                return None
        a, b = bufs[0].raw, bufs[1].raw
        end = next(i for i in range(256) if a[i] != b[i])
        if end > len(raw):
            return a[:end], found
        changed = max((i for i in range(len(raw)) if a[i] != raw[i]), default=-1)
        t, dup = self._subkey(fid)
        w = _keys.width(t)
        for n in range(len(raw), changed, -1):
            if w and n not in (0, w):
                continue
            cand = a[:n]
            if cand == raw and (rid is None or not dup):
                continue
            if self._haskey(fid, cand, found, dup):
                return cand, found
        raise Error(f"{self.path}: the key before {raw!r} in subkey {fid >> 4}.{fid & 15} cannot be made out")

    def _haskey(self, fid: int, raw: bytes, rid: int, dup: bool) -> bool:
        if not raw:
            first = self._first(fid)
            return first is not None and first == (b"", rid)
        if dup:
            return self._next(fid, raw, rid - 1) == (raw, rid)
        found = self._find(fid, raw)
        return found is not None and found[1] == rid

    def _lastofsubkey(self, fid: int) -> Optional[Tuple[bytes, int]]:
        top = _keys.maxvalue(self._subkey(fid)[0])
        cur = self._find(fid, top) or self._before(fid, top, None) or self._first(fid)
        while cur:
            nxt = self._next(fid, cur[0], cur[1])
            if not nxt:
                break
            cur = nxt
        return cur

    # ---- control values ----------------------------------------------

    def _ctl(self, what: str, name: str, *args: Any) -> int:
        return self._checked(what, name, *args)

    def _setctl(self, what: str, name: str, value: int) -> None:
        with self._unit():
            self._call(what, name, value)

    @property
    def counter(self) -> int:
        """The database's 32-bit application counter."""
        return self._ctl("read the counter", "fsgetcannumber", 0)

    @counter.setter
    def counter(self, value: int) -> None:
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 0xFFFFFFFF:
            raise ValueError(f"the counter is 0..4294967295, not {value!r}")
        self._setctl("store the counter", "fsstorecannumber", value)

    def next_counter(self) -> int:
        """Advances the counter and returns its new value (1..30000, then
        65536..95536, 131072.., never 0), committed like every change."""
        with self._unit():
            return self._call("advance the counter", "fsgetcannumber", 1)

    @property
    def business_date(self) -> int:
        """The business date, an int the application gives its meaning
        (such as 20270101)."""
        return self._ctl("read the business date", "fsgetbusinessdate")

    @business_date.setter
    def business_date(self, value: int) -> None:
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 0xFFFFFFFF:
            raise ValueError(f"the business date is 0..4294967295, not {value!r}")
        self._setctl("store the business date", "fsstorebusinessdate", value)

    @property
    def app_status(self) -> bool:
        """The application status flag."""
        return bool(self._ctl("read the application status", "fsgetappstat"))

    @app_status.setter
    def app_status(self, value: bool) -> None:
        self._setctl("set the application status", "fssetappstat", 1 if value else 0)


def _cachekib(kib: Any) -> None:
    if kib is not None and (isinstance(kib, bool) or not isinstance(kib, int) or not 0 <= kib <= 0xFFFFFFFF):
        raise ValueError(f"cache_kib is a number of KiB (0..4294967295), not {kib!r}")


def open(path: PathLike, readonly: bool = False, *, durable: bool = False,
         cache_kib: Optional[int] = None) -> Database:
    """Opens a database, checking the file's integrity first; ``OpenError``
    when it cannot be opened (the error carries ``pmerrno``).

    durable: commits are synced to the disk, so that a commit that returned
    survives a power loss too, not only a crash of the program (slower).
    cache_kib: the memory for block images below the 16 block buffers, in
    KiB (the library's default when None)."""
    p = os.fsdecode(path)
    _cachekib(cache_kib)
    with lock:
        fs, nums, text = call("fsopen", lib.inst(), _fspath(path), 1, 1 if readonly else 0)
        if not fs:
            raise OpenError(f"cannot open {p}", nums, lib.load().fsgeterrno(), text)
        db = Database(fs, p, readonly)
        try:
            if durable:
                db._call("make commits durable", "fssetsync", 1)
            if cache_kib is not None:
                db._call("set the cache", "fssetcache", cache_kib)
        except BaseException:
            db.close()
            raise
        return db


def create(path: PathLike, schema: Any = None, *, overwrite: bool = False, durable: bool = False,
           cache_kib: Optional[int] = None) -> Database:
    """Creates a new database set up by a schema (text in the pmdb tool's
    format, or a dict as ``Database.schema`` gives) and opens it for
    writing, as ``open`` does. An existing file is refused unless
    ``overwrite`` is true. A schema is checked whole before anything is
    made."""
    xblkfreq, files = _schema.parse(schema) if schema is not None else (None, {})
    _cachekib(cache_kib)
    p = os.fsdecode(path)
    if os.path.lexists(p) and not overwrite:
        raise FileExistsError(f"{p} exists; pass overwrite=True to replace it")
    with lock:
        r, nums, text = call("fscreatedatabase", _fspath(path), xblkfreq or 20)
        if not r:
            raise OpenError(f"cannot create {p}", nums, lib.load().fsgeterrno(), text)
        try:
            db = open(path, durable=durable, cache_kib=cache_kib)
        except BaseException:
            os.remove(p)
            raise
        try:
            db._call("lock", "fslock", None)
            db._define(files)
            db._commit()
        except BaseException:
            db.close()
            os.remove(p)
            raise
        return db
