"""Text fields through picture masks: dates, times and numbers shown as
display text and read back (docs/masks.md has the mask characters).

Plain functions over strings; no database is involved. Texts and masks are
single-byte text (Latin-1); a NUL character has no place in them.

    >>> masks.date(datetime.date(1996, 3, 7), "DD.MM.YYYY")
    '07.03.1996'
    >>> masks.parse_date("03/07/96", "MM/DD/YY")
    (96, 3, 7)
    >>> masks.number("1234.5", "###,##0.00")
    '  1,234.50'
"""

from __future__ import annotations

import ctypes
import datetime
import decimal
import re
from typing import Tuple, Union

from ._lib import call

__all__ = ["date", "parse_date", "time", "parse_time", "number", "digits", "plain_number",
           "blank_fill", "zero_fill"]


class _Date(ctypes.Structure):
    _fields_ = [("da_year", ctypes.c_int32), ("da_day", ctypes.c_byte), ("da_mon", ctypes.c_byte)]


class _Time(ctypes.Structure):
    _fields_ = [("ti_min", ctypes.c_uint8), ("ti_hour", ctypes.c_uint8), ("ti_hund", ctypes.c_uint8),
                ("ti_sec", ctypes.c_uint8)]


def _text(s: str, what: str) -> bytes:
    if not isinstance(s, str):
        raise TypeError(f"{what} is a str, not {type(s).__name__}")
    if "\0" in s:
        raise ValueError(f"{what} holds a NUL character")
    try:
        raw = s.encode("latin-1")
    except UnicodeEncodeError:
        raise ValueError(f"{what} holds characters outside Latin-1") from None
    if len(raw) > 32767:
        raise ValueError(f"{what} is longer than 32767 characters")
    return raw


def _run(name: str, *args: object) -> int:
    return call(name, *args)[0]


def _field(value: int, lo: int, hi: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not lo <= value <= hi:
        raise ValueError(f"{what} {value!r} is not {lo}..{hi}")
    return value


def date(value: Union[datetime.date, Tuple[int, int, int]], mask: str) -> str:
    """The date through a date mask (M month, D day, Y year: one digit each,
    filled from the right; other characters shown in upper case). value is a
    date or a (year, month, day) tuple."""
    y, m, d = (value.year, value.month, value.day) if isinstance(value, datetime.date) else value
    dt = _Date(_field(y, -(1 << 31), (1 << 31) - 1, "year"), _field(d, -128, 127, "day"),
               _field(m, -128, 127, "month"))
    raw = _text(mask, "mask")
    out = ctypes.create_string_buffer(len(raw) + 1)
    _run("dodatemask", out, ctypes.byref(dt), raw)
    return out.value.decode("latin-1")


def parse_date(text: str, mask: str) -> Tuple[int, int, int]:
    """(year, month, day) read from text under a date mask: the characters
    under each placeholder kind as a decimal number, 0 where none is
    readable; no century is added."""
    dt = _Date()
    _run("undodatemask", _text(text, "text"), ctypes.byref(dt), _text(mask, "mask"))
    return dt.da_year, dt.da_mon, dt.da_day


def time(value: Union[datetime.time, Tuple[int, int, int]], mask: str) -> str:
    """The time through a time mask (H hour, M minute, S second). value is a
    time or an (hour, minute, second) tuple."""
    h, m, s = (value.hour, value.minute, value.second) if isinstance(value, datetime.time) else value
    ti = _Time(_field(m, 0, 255, "minute"), _field(h, 0, 255, "hour"), 0, _field(s, 0, 255, "second"))
    raw = _text(mask, "mask")
    out = ctypes.create_string_buffer(len(raw) + 1)
    _run("dotimemask", out, ctypes.byref(ti), raw)
    return out.value.decode("latin-1")


def parse_time(text: str, mask: str) -> Tuple[int, int, int]:
    """(hour, minute, second) read from text under a time mask."""
    ti = _Time()
    _run("undotimemask", _text(text, "text"), ctypes.byref(ti), _text(mask, "mask"))
    return ti.ti_hour, ti.ti_min, ti.ti_sec


_NUMBER = re.compile(r"-?[0-9]*\.?[0-9]*")


def number(value: Union[str, int, float, decimal.Decimal], mask: str) -> str:
    """The number through a numeric mask (docs/masks.md), as long as the
    mask. value is number text ('-1234.5') or a number. ValueError when the
    mask has no room for every integer digit, rather than show a field that
    lost its leading digits."""
    if isinstance(value, str):
        text = value
    elif isinstance(value, bool) or not isinstance(value, (int, float, decimal.Decimal)):
        raise TypeError(f"number takes number text or a number, not {type(value).__name__}")
    else:
        d = decimal.Decimal(str(value)) if isinstance(value, float) else decimal.Decimal(value)
        if not d.is_finite():
            raise ValueError(f"{value} cannot be shown through a mask")
        text = format(d, "f")
    if not _NUMBER.fullmatch(text):
        raise ValueError(f"{text!r} is not number text (an optional '-', digits, an optional '.', digits)")
    raw, m = text.encode("ascii"), _text(mask, "mask")
    buf = ctypes.create_string_buffer(raw, max(len(raw), len(m)) + 1)
    if not _run("domask", buf, m):
        raise ValueError(f"{text} does not fit the mask {mask!r}: its leading digits would be lost")
    return buf.value.decode("latin-1")


def digits(num: str, width: int) -> str:
    """The digits of num right-aligned in width characters, zeros in front;
    other characters are skipped, and the leftmost digits dropped when they
    do not fit: digits('-1,234.5', 8) == '00012345'."""
    _field(width, 0, 32767, "width")
    out = ctypes.create_string_buffer(width + 1)
    _run("makenumascii", out, _text(num, "num"), width)
    return out.raw[:width].decode("latin-1")


def plain_number(field: str) -> str:
    """An edited field back to number text: digits and '.' kept, leading
    zeros removed, a trailing '-' moved to the front (zeros then kept):
    plain_number('  1,234.50-') == '-1234.50'."""
    buf = ctypes.create_string_buffer(_text(field, "field"))
    _run("mkascnum", buf)
    return buf.value.decode("latin-1")


def blank_fill(text: str) -> str:
    """Leading zeros become blanks; the last character never does."""
    raw = _text(text, "text")
    buf = ctypes.create_string_buffer(raw)
    _run("blankfill", buf, len(raw))
    return buf.raw[:len(raw)].decode("latin-1")


def zero_fill(text: str) -> str:
    """Leading blanks become zeros."""
    raw = _text(text, "text")
    buf = ctypes.create_string_buffer(raw)
    _run("zerofill", buf, len(raw))
    return buf.raw[:len(raw)].decode("latin-1")
