"""Loading libpmdb.so and calling it safely from Python.

The library serves one thread at a time and keeps its error state
process-wide, so every call goes through ``call()``: it holds one module lock
(ctypes lets other threads run during a foreign call), takes a snapshot of
the error ring and the message before the call, and hands back what the call
recorded. Calls that later helpers of the C interface may or may not have
(bounded reads, rollback) are looked up when the library is loaded and are
``None`` when it lacks them.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from ctypes import POINTER, c_byte, c_char_p, c_int16, c_short, c_uint8, c_uint32, c_void_p
from pathlib import Path
from typing import Any, List, Optional, Tuple

from .errors import Error, LibraryNotFoundError

SONAME = "libpmdb.so.0"

lock = threading.RLock()

# A relative PMDB_LIB means relative to where the program started, also
# when it has changed directory before the library is first needed.
_START_DIR = os.getcwd()


class FS(ctypes.Structure):
    """The caller's handle of an open database, 19 packed bytes."""

    _pack_ = 1
    _fields_ = [
        ("fsdatanum", ctypes.c_int16),
        ("isnetwork", ctypes.c_uint8),
        ("socket", ctypes.c_uint16),
        ("errororigin", ctypes.c_char),
        ("error", ctypes.c_int32),
        ("len", ctypes.c_int16),
        ("fid", ctypes.c_uint8),
        ("rid", ctypes.c_uint32),
        ("sequence", ctypes.c_uint8),
        ("totalpackets", ctypes.c_uint8),
    ]


assert ctypes.sizeof(FS) == 19

FSP = POINTER(FS)
INST = c_byte  # the instance number, a C char

# name: (result, argument types). Only calls declared in include/pmdblib.h.
_REQUIRED = {
    "fsinit": (c_byte, [c_char_p]),
    "closefs": (c_short, [INST]),
    "fscreatedatabase": (c_short, [c_char_p, c_short]),
    "fsopen": (FSP, [INST, c_char_p, c_short, c_short]),
    "fsclose": (None, [INST, FSP]),
    "fsflush": (c_short, [INST, FSP]),
    "fslock": (c_short, [INST, FSP, c_void_p]),
    "fsunlock": (c_short, [INST, FSP]),
    "fsgetcannumber": (c_uint32, [INST, FSP, c_short]),
    "fsstorecannumber": (c_short, [INST, FSP, c_uint32]),
    "fsgetappstat": (c_short, [INST, FSP]),
    "fssetappstat": (c_short, [INST, FSP, c_short]),
    "fsgetbusinessdate": (c_uint32, [INST, FSP]),
    "fsstorebusinessdate": (c_short, [INST, FSP, c_uint32]),
    "fsadd": (c_uint32, [INST, FSP, c_void_p, c_short, c_uint8]),
    "fswrite": (c_short, [INST, FSP, c_void_p, c_short, c_uint32]),
    "fsdelete": (c_short, [INST, FSP, c_uint32]),
    "fsread": (c_short, [INST, FSP, c_uint32, c_void_p]),
    "fsfirst": (c_uint32, [INST, FSP, c_uint8]),
    "fslast": (c_uint32, [INST, FSP, c_uint8]),
    "fsnext": (c_uint32, [INST, FSP, c_uint32]),
    "fsprev": (c_uint32, [INST, FSP, c_uint32]),
    "fsfirstkey": (c_uint32, [INST, FSP, c_uint8, c_void_p]),
    "fslastkey": (c_uint32, [INST, FSP, c_uint8, c_short, c_void_p]),
    "fsfindkey": (c_uint32, [INST, FSP, c_uint8, c_short, c_void_p]),
    "fsnextkey": (c_uint32, [INST, FSP, c_uint8, c_uint32, c_short, c_void_p]),
    "fsprevkey": (c_uint32, [INST, FSP, c_uint8, c_uint32, c_short, c_void_p]),
    "fsaddkey": (c_short, [INST, FSP, c_uint8, c_uint32, c_short, c_void_p]),
    "fsdeletekey": (c_short, [INST, FSP, c_uint8, c_uint32, c_short, c_void_p]),
    "dodatemask": (c_short, [c_char_p, c_void_p, c_char_p]),
    "undodatemask": (c_short, [c_char_p, c_void_p, c_char_p]),
    "dotimemask": (c_short, [c_char_p, c_void_p, c_char_p]),
    "undotimemask": (c_short, [c_char_p, c_void_p, c_char_p]),
    "domask": (c_short, [c_char_p, c_char_p]),
    "makenumascii": (c_short, [c_char_p, c_char_p, c_short]),
    "mkascnum": (c_short, [c_char_p]),
    "blankfill": (None, [c_char_p, c_short]),
    "zerofill": (None, [c_char_p, c_short]),
    "fsgeterrno": (c_short, []),
    "fsgetmsg": (c_char_p, []),
    "fsgeterrors": (c_short, [POINTER(c_short)]),
}

# Calls of newer libraries, bound when the library has them; the module
# says so when one it needs is missing.
_OPTIONAL = {
    "fsdefinefile": (c_short, [INST, FSP, c_uint8, c_char_p, c_int16]),
    "fsdefinesubkey": (c_short, [INST, FSP, c_uint8, c_int16, c_int16]),
    "fsgetfile": (c_short, [INST, FSP, c_uint8, c_char_p, POINTER(c_int16)]),
    "fsgetsubkey": (c_short, [INST, FSP, c_uint8, POINTER(c_int16), POINTER(c_int16)]),
    "fsreadn": (c_short, [INST, FSP, c_uint32, c_void_p, c_int16]),
    "fsrollback": (c_short, [INST, FSP]),
    "fssetsync": (c_short, [INST, FSP, c_int16]),
    "fssetcache": (c_short, [INST, FSP, c_uint32]),
}


def _candidates() -> List[str]:
    """Where to look for the library, in order."""
    env = os.environ.get("PMDB_LIB")
    if env:
        # An explicit choice is the only one: a wrong PMDB_LIB must not
        # quietly load some other copy.
        p = Path(_START_DIR, env) if os.sep in env else Path(env)
        return [str(p / SONAME) if p.is_dir() else str(p)]
    found = []
    from . import _where

    if _where.BUILT_LIBRARY:
        found.append(_where.BUILT_LIBRARY)
    # Run from pmdblib's source tree: python/pmdb/ -> build/lib/.
    tree = Path(__file__).resolve().parent.parent.parent / "build" / "lib" / SONAME
    if tree.exists():
        found.append(str(tree))
    found.append(SONAME)  # the dynamic loader's search: an installed copy
    other = ctypes.util.find_library("pmdb")
    if other:
        found.append(other)
    return found


class _Lib:
    def __init__(self) -> None:
        self.cdll: Any = None
        self.path: Optional[str] = None
        self.instance: Optional[int] = None

    def load(self) -> Any:
        if self.cdll is not None:
            return self.cdll
        tried = []
        for cand in _candidates():
            try:
                cdll = ctypes.CDLL(cand)
            except OSError as e:
                tried.append(f"{cand} ({e})")
                continue
            self._bind(cdll)
            self.cdll, self.path = cdll, cand
            return cdll
        raise LibraryNotFoundError("cannot load the pmdb library; tried " + ", ".join(tried) +
                                   "; set PMDB_LIB to the path of libpmdb.so.0")

    def _bind(self, cdll: Any) -> None:
        for name, (res, args) in _REQUIRED.items():
            f = getattr(cdll, name)
            f.restype, f.argtypes = res, args
        for name, (res, args) in _OPTIONAL.items():
            try:
                f = getattr(cdll, name)
            except AttributeError:
                continue
            f.restype, f.argtypes = res, args

    def has(self, name: str) -> bool:
        return hasattr(self.load(), name)

    def inst(self) -> int:
        """The module's one instance number, taken at first use."""
        if self.instance is None:
            n = self.load().fsinit(None)
            if n < 0:
                raise Error("every instance of the pmdb library is taken (fsinit gave -1)")
            self.instance = n
        return self.instance


lib = _Lib()


def errorstate() -> Tuple[int, Tuple[int, ...], bytes]:
    ring = (c_short * 10)()
    idx = lib.load().fsgeterrors(ring)
    return idx, tuple(ring), lib.cdll.fsgetmsg() or b""


def recorded(before: Tuple[int, Tuple[int, ...], bytes]) -> Tuple[List[int], str]:
    """The error numbers recorded since ``before`` (oldest first) and the
    message text when it changed."""
    idx, ring, text = errorstate()
    oidx, oring, otext = before
    if idx == oidx and ring == oring:
        nums: List[int] = []
    else:
        count = (idx - oidx) % 10 or 10
        nums = [ring[(oidx + k) % 10] for k in range(count)]
    return nums, (text.decode("latin-1").strip() if text != otext else "")


def call(name: str, *args: Any) -> Tuple[Any, List[int], str]:
    """Calls name(*args) under the lock; its result, the error numbers it
    recorded and its message."""
    with lock:
        f = getattr(lib.load(), name, None)
        if f is None:
            raise LibraryNotFoundError(f"the pmdb library {lib.path} has no {name}(): it is older than this module")
        before = errorstate()
        r = f(*args)
        nums, text = recorded(before)
        return r, nums, text

