"""Schemas: per logical file a name and record length, per subkey a key
type and whether it admits duplicate values, and the spacing of the
translation blocks.

Two forms are accepted. The text form is the one the pmdb tool reads and
prints (docs/tool.md):

    xblkfreq 20
    1 customers 56
    1.0 long unique
    1.1 char dup

The dict form is what ``Database.schema`` gives back:

    {"xblkfreq": 20,
     "files": {1: {"name": "customers", "rlen": 56,
                   "keys": {0: {"keytype": "long", "dup": False},
                            1: {"keytype": "char", "dup": True}}}}}

In a dict, a subkey may also be written as text ("long unique"), "xblkfreq",
"name", "rlen" and "keys" may be left out, and file numbers may be strings.
Whatever a schema does not name keeps what a new database has: no name,
record length 0, key type char, unique for subkeys 0 to 7 and duplicates for
8 to 15.
"""

from __future__ import annotations

import re
from typing import Any, Dict, Mapping, Optional, Tuple

from ._keys import KEYTYPES

# Key types a subkey may be given: the nine of the key index, and "none"
# (9), a subkey that every key call refuses.
SUBKEYTYPES = KEYTYPES + ("none",)

NUMFILES = 15
NUMSUBKEYS = 16
NAMEMAX = 15

# file -> (name bytes or None, rlen or None, {subkey: (keytype, dup)})
Files = Dict[int, Tuple[Optional[bytes], Optional[int], Dict[int, Tuple[int, bool]]]]


def default_dup(subkey: int) -> bool:
    return subkey >= 8


def _unescape(word: str, lineno: int) -> bytes:
    out = bytearray()
    i = 0
    raw = word.encode("utf-8", "surrogateescape")
    while i < len(raw):
        ch = raw[i]
        if ch != 0x5C:  # backslash
            out.append(ch)
            i += 1
            continue
        nxt = raw[i + 1:i + 2]
        if nxt in (b"\\", b'"'):
            out += nxt
            i += 2
        elif nxt == b"x" and re.fullmatch(rb"[0-9A-Fa-f]{2}", raw[i + 2:i + 4]):
            out.append(int(raw[i + 2:i + 4], 16))
            i += 4
        else:
            raise ValueError(f"schema line {lineno}: bad escape in name {word!r}")
    return bytes(out)


def _number(word: str, lo: int, hi: int) -> Optional[int]:
    return int(word) if word.isdigit() and word.isascii() and lo <= int(word) <= hi else None


def _filesubkey(word: str) -> Optional[Tuple[int, int]]:
    n, dot, s = word.partition(".")
    fn, sk = _number(n, 1, NUMFILES), _number(s, 0, NUMSUBKEYS - 1)
    return (fn, sk) if dot and fn is not None and sk is not None else None


def parse_text(text: str) -> Tuple[Optional[int], Files]:
    """(xblkfreq or None, files) of schema text; ValueError naming the line."""
    xblkfreq: Optional[int] = None
    files: Files = {}
    for lineno, line in enumerate(text.splitlines(), 1):
        w = line.split("#", 1)[0].split()
        if not w:
            continue

        def bad(why: str) -> ValueError:
            return ValueError(f"schema line {lineno}: {why}")

        if w[0] in ("file", "key", "subkey") and len(w) > 1:
            w = w[1:]
        if w[0] == "xblkfreq":
            f = _number(w[1], 2, 32767) if len(w) == 2 else None
            if f is None:
                raise bad("xblkfreq takes one number from 2 to 32767")
            if xblkfreq is not None:
                raise bad("xblkfreq given twice")
            xblkfreq = f
        elif "." in w[0]:
            fs = _filesubkey(w[0])
            if fs is None:
                raise bad(f"{w[0]!r} is not FILE.SUBKEY (1..15).(0..15)")
            if len(w) != 3:
                raise bad("a subkey line is FILE.SUBKEY TYPE unique|dup")
            if w[1] not in SUBKEYTYPES:
                raise bad(f"unknown key type {w[1]!r}")
            if w[2] not in ("unique", "dup"):
                raise bad(f"expected unique or dup, not {w[2]!r}")
            keys = files.setdefault(fs[0], (None, None, {}))[2]
            if fs[1] in keys:
                raise bad(f"subkey {w[0]} declared twice")
            keys[fs[1]] = (SUBKEYTYPES.index(w[1]), w[2] == "dup")
        else:
            n = _number(w[0], 1, NUMFILES)
            if n is None:
                raise bad(f"{w[0]!r} is not a logical file number 1..15")
            if len(w) != 3:
                raise bad("a file line is NUMBER NAME RECORDLENGTH")
            name = b"" if w[1] == "-" else _unescape(w[1], lineno)
            if len(name) > NAMEMAX:
                raise bad("name longer than 15 bytes")
            if b"\0" in name:
                raise bad("name holds a zero byte")
            rlen = _number(w[2], 0, 32767)
            if rlen is None:
                raise bad("record length must be a number from 0 to 32767")
            old = files.get(n)
            if old is not None and old[0] is not None:
                raise bad(f"file {n} declared twice")
            files[n] = (name, rlen, old[2] if old else {})
    return xblkfreq, files


def _keytype(t: Any, where: str) -> int:
    if isinstance(t, str) and t in SUBKEYTYPES:
        return SUBKEYTYPES.index(t)
    if isinstance(t, int) and not isinstance(t, bool) and 0 <= t < len(SUBKEYTYPES):
        return t
    raise ValueError(f"{where}: key type {t!r} is none of {', '.join(SUBKEYTYPES)} (or 0..9)")


def _subkey_from(value: Any, where: str) -> Tuple[int, bool]:
    if isinstance(value, str):
        w = value.split()
        if len(w) != 2 or w[1] not in ("unique", "dup"):
            raise ValueError(f"{where}: expected 'TYPE unique' or 'TYPE dup', not {value!r}")
        return _keytype(w[0], where), w[1] == "dup"
    if isinstance(value, Mapping):
        unknown = set(value) - {"keytype", "dup"}
        if unknown or "keytype" not in value:
            raise ValueError(f"{where}: a subkey is {{'keytype': TYPE, 'dup': bool}}")
        return _keytype(value["keytype"], where), bool(value.get("dup", False))
    raise TypeError(f"{where}: a subkey is a dict or 'TYPE unique|dup', not {type(value).__name__}")


def _index(key: Any, lo: int, hi: int, what: str) -> int:
    try:
        n = int(key)
    except (TypeError, ValueError):
        n = -1
    if isinstance(key, bool) or not lo <= n <= hi:
        raise ValueError(f"{what} {key!r} is not {lo}..{hi}")
    return n


def parse_dict(d: Mapping[str, Any]) -> Tuple[Optional[int], Files]:
    """(xblkfreq or None, files) of the dict form; TypeError or ValueError."""
    unknown = set(d) - {"xblkfreq", "files"}
    if unknown:
        raise ValueError(f"schema: unknown entries {sorted(map(str, unknown))} (expected xblkfreq, files)")
    xblkfreq = d.get("xblkfreq")
    if xblkfreq is not None and (not isinstance(xblkfreq, int) or isinstance(xblkfreq, bool)
                                 or not 2 <= xblkfreq <= 32767):
        raise ValueError(f"schema: xblkfreq {xblkfreq!r} is not a number from 2 to 32767")
    files: Files = {}
    for fkey, fdef in dict(d.get("files") or {}).items():
        n = _index(fkey, 1, NUMFILES, "schema: logical file")
        if not isinstance(fdef, Mapping) or set(fdef) - {"name", "rlen", "keys"}:
            raise ValueError(f"schema: file {n} is {{'name': str, 'rlen': int, 'keys': {{...}}}}")
        name = fdef.get("name") or ""
        raw = name.encode("utf-8", "surrogateescape") if isinstance(name, str) else bytes(name)
        if len(raw) > NAMEMAX or b"\0" in raw:
            raise ValueError(f"schema: file {n}: a name has at most 15 bytes and no zero byte")
        rlen = fdef.get("rlen", 0)
        if not isinstance(rlen, int) or isinstance(rlen, bool) or not 0 <= rlen <= 32767:
            raise ValueError(f"schema: file {n}: record length {rlen!r} is not 0..32767")
        keys = {}
        for skey, sdef in dict(fdef.get("keys") or {}).items():
            s = _index(skey, 0, NUMSUBKEYS - 1, f"schema: file {n}: subkey")
            keys[s] = _subkey_from(sdef, f"schema: subkey {n}.{s}")
        files[n] = (raw, rlen, keys)
    return xblkfreq, files


def parse(schema: Any) -> Tuple[Optional[int], Files]:
    if isinstance(schema, str):
        return parse_text(schema)
    if isinstance(schema, Mapping):
        return parse_dict(schema)
    raise TypeError(f"a schema is text or a dict, not {type(schema).__name__}")


def as_dict(xblkfreq: Optional[int], files: Files) -> Dict[str, Any]:
    """The dict form, defaults left out as the tool leaves them out."""
    out: Dict[str, Any] = {}
    if xblkfreq is not None:
        out["xblkfreq"] = xblkfreq
    fd: Dict[int, Any] = {}
    for n in sorted(files):
        name, rlen, keys = files[n]
        entry: Dict[str, Any] = {"name": (name or b"").decode("utf-8", "surrogateescape"), "rlen": rlen or 0}
        entry["keys"] = {s: {"keytype": SUBKEYTYPES[t] if 0 <= t < len(SUBKEYTYPES) else t, "dup": dup}
                         for s, (t, dup) in sorted(keys.items())}
        fd[n] = entry
    out["files"] = fd
    return out

