"""Key values: Python values to the bytes the key index stores and back.

Each subkey has a key type (its comparator). The char types take up to 195
bytes and compare as unsigned bytes, a proper prefix first; the others take
exactly their width (short, long, ushort, ulong, float, double: the C
little-endian forms; ldouble: the 80-bit extended format). An empty value,
possible in every type, sorts level with every key of its subkey.

In Python: ``char`` values are ``str`` (UTF-8; bytes that are not UTF-8
come back as surrogate escapes, so they round-trip), ``uchar`` values are
``bytes`` (both accept either); the integer types are ``int``, the floating
types ``float``. NaN has no place in an order and is refused.
"""

from __future__ import annotations

import math
import struct
from fractions import Fraction
from typing import Any, Union

KEYTYPES = ("char", "short", "long", "uchar", "ushort", "ulong", "float", "double", "ldouble")
MAXVALUE = 195  # longest value of a char key

_FORMATS = {1: "<h", 2: "<i", 4: "<H", 5: "<I", 6: "<f", 7: "<d"}
_WIDTHS = {1: 2, 2: 4, 4: 2, 5: 4, 6: 4, 7: 8, 8: 10}
_INTRANGE = {1: (-(1 << 15), (1 << 15) - 1), 2: (-(1 << 31), (1 << 31) - 1), 4: (0, 0xFFFF), 5: (0, 0xFFFFFFFF)}



def width(t: int) -> int:
    """Value width of a typed key (0 for the char types)."""
    return _WIDTHS.get(t, 0)


def _ld_bytes(x: float) -> bytes:
    """x in the 80-bit extended format: 64-bit significand with its integer
    bit, 15-bit exponent biased by 16383, sign; exact for every double."""
    sign = 0x8000 if math.copysign(1.0, x) < 0 else 0
    x = abs(x)
    if x == 0:
        return struct.pack("<QH", 0, sign)
    if math.isinf(x):
        return struct.pack("<QH", 1 << 63, sign | 0x7FFF)
    m, e = math.frexp(x)  # x = m * 2**e, 0.5 <= m < 1
    return struct.pack("<QH", int(m * (1 << 64)), sign | (e - 1 + 16383))


def _ld_exact(raw: bytes) -> Union[Fraction, float]:
    """The exact value of an 80-bit extended number (infinities as float)."""
    mant, se = struct.unpack("<QH", raw)
    sign, exp = -1 if se & 0x8000 else 1, se & 0x7FFF
    if exp == 0x7FFF:
        return sign * math.inf if mant & ((1 << 63) - 1) == 0 else math.nan
    # exponent 0 is the denormal form: scaled as exponent 1, no integer bit
    return sign * Fraction(mant) * Fraction(2) ** (max(exp, 1) - 16383 - 63)


def encode(t: int, value: Any) -> bytes:
    """The stored bytes of a value for key type t; TypeError or ValueError
    when the type cannot hold it."""
    if t in (0, 3):
        if isinstance(value, str):
            raw = value.encode("utf-8", "surrogateescape")
        elif isinstance(value, (bytes, bytearray, memoryview)):
            raw = bytes(value)
        else:
            raise TypeError(f"a {KEYTYPES[t]} key takes str or bytes, not {type(value).__name__}")
        if len(raw) > MAXVALUE:
            raise ValueError(f"a key value holds at most {MAXVALUE} bytes, not {len(raw)}")
        return raw
    if t in _INTRANGE:
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError(f"a {KEYTYPES[t]} key takes int, not {type(value).__name__}")
        lo, hi = _INTRANGE[t]
        if not lo <= value <= hi:
            raise ValueError(f"{value} does not fit a {KEYTYPES[t]} key ({lo}..{hi})")
        return struct.pack(_FORMATS[t], value)
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        raise TypeError(f"a {KEYTYPES[t]} key takes float or int, not {type(value).__name__}")
    x = float(value)
    if math.isnan(x):
        raise ValueError("NaN cannot be a key value: it has no place in an order")
    if t == 8:
        return _ld_bytes(x)
    try:
        return struct.pack(_FORMATS[t], x)
    except OverflowError:
        raise ValueError(f"{value} does not fit a {KEYTYPES[t]} key") from None


def decode(t: int, raw: bytes) -> Any:
    """The Python value of stored key bytes; None for an empty typed value."""
    if t == 0:
        return raw.decode("utf-8", "surrogateescape")
    if t == 3:
        return bytes(raw)
    if not raw:
        return None
    if t == 8:
        v = _ld_exact(raw)
        try:
            return float(v)
        except OverflowError:
            return math.copysign(math.inf, v)
    return struct.unpack(_FORMATS[t], raw)[0]


def order(t: int, raw: bytes) -> Any:
    """A Python value that sorts like the stored bytes in the index (for
    the ends of a scan): bytes for the char types, exact numbers otherwise."""
    if t in (0, 3):
        return bytes(raw)
    if t == 8:
        return _ld_exact(raw)
    return struct.unpack(_FORMATS[t], raw)[0]


def maxvalue(t: int) -> bytes:
    """The greatest value of a key type (195 bytes of 0xff for char)."""
    if t in (0, 3):
        return b"\xff" * MAXVALUE
    if t in _INTRANGE:
        return struct.pack(_FORMATS[t], _INTRANGE[t][1])
    return encode(t, math.inf)
