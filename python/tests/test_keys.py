"""Keys of every type: values in and out, searches, and scans over ranges
in both directions against a sorted model of the same keys."""

import math

import pytest

import pmdb

INF = math.inf
# subkey: (file, dup, values). Ties, prefixes and each type's extremes,
# including the greatest value of the type, where a backward scan starts.
CASES = {
    "long": (1, 0, False, [-2**31, -5, 0, 7, 2**31 - 1]),
    "char": (1, 1, True, ["Moser", "Moser, Anna", "Moser", "Meier", "Mo", "\udcff\udcfe", "ÄÖ", "z" * 195,
                          "\udcff" * 195, "Moser, Anna"]),
    "short": (2, 0, False, [-32768, -1, 0, 1, 32767]),
    "ushort": (2, 1, True, [0, 65535, 65535, 7]),
    "ulong": (2, 2, False, [0, 1, 2**32 - 1]),
    "float": (2, 3, True, [-INF, -1.5, -0.0, 0.0, 2.0**100, INF, INF]),
    "double": (2, 4, False, [-1e300, -5e-324, 0.0, 0.1, INF]),
    "ldouble": (2, 5, True, [-INF, -1e308, 1 / 3, 1 / 3, 5e-324, 1e308, INF]),
    "uchar": (2, 6, False, [b"\x00", b"\x00\x00", b"\x01", b"\xff" * 195, b"abc"]),
}


def order(v):
    return v.encode("utf-8", "surrogateescape") if isinstance(v, str) else v


@pytest.mark.parametrize("keytype", CASES)
def test_scan_matches_model(db, keytype):
    file, sub, dup, values = CASES[keytype]
    keys = []
    for v in values:
        rid = db.add(file, b"r", keys={sub: v})
        keys.append((order(v), rid, v))
    keys.sort(key=lambda k: (k[0], k[1]) if dup else k[0])
    got = list(db.scan(file, sub))
    assert got == [(v, r) for _, r, v in keys]
    assert [type(v) for v, _ in got] == [type(v) for _, _, v in keys]
    assert list(db.scan(file, sub, reverse=True)) == got[::-1]
    distinct = sorted({k[0] for k in keys})
    ends = [None] + [v for _, _, v in keys]
    if not isinstance(values[0], (str, bytes)):
        half = (lambda a, b: (a + b) / 2) if isinstance(values[0], float) else (lambda a, b: (a + b) // 2)
        ends += [half(a, b) for a, b in zip(distinct, distinct[1:]) if not math.isinf(a - b)]
    for lo in ends[::2]:
        for hi in ends[1::2]:
            want = [(v, r) for o, r, v in keys if (lo is None or o >= order(lo)) and (hi is None or o < order(hi))]
            assert list(db.scan(file, sub, start=lo, stop=hi)) == want, (lo, hi)
            assert list(db.scan(file, sub, start=lo, stop=hi, reverse=True)) == want[::-1], (lo, hi)
    for _, rid, v in keys:
        assert db.find(file, sub, v) == min(r for o, r, _ in keys if o == order(v))


def test_values_refused_before_the_index(db):
    for sub, bad, exc in [(0, 2**31, ValueError), (0, "7", TypeError), (0, True, TypeError)]:
        with pytest.raises(exc):
            db.find(1, sub, bad)
    with pytest.raises(ValueError):
        db.add(2, b"x", keys={3: math.nan})
    with pytest.raises(ValueError):
        db.add(2, b"x", keys={3: 1e39})  # beyond a float
    with pytest.raises(ValueError):
        db.add(1, b"x", keys={1: "x" * 196})
    with pytest.raises(ValueError):
        db.find(1, 16, 0)
    assert list(db.records(1)) == [] and list(db.records(2)) == []


def test_find_and_empty_values(db):
    rid = db.add(1, b"x", keys={1: "Keller"})
    assert db.find(1, 1, "Kel") is None and db.find(1, 1, "Keller, A") is None
    # The library reads an empty value as "any key": it finds, and would
    # delete, the first key of the subkey, and blocks every other key.
    assert db.find(1, 1, "") is None
    with pytest.raises(ValueError):
        db.add_key(rid, 1, "")
    with pytest.raises(pmdb.NotFoundError):
        db.delete_key(rid, 1, "")
    assert list(db.scan(1, 1)) == [("Keller", rid)] and list(db.scan(1, 1, stop="")) == []
