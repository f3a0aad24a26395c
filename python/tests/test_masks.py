"""The mask helpers as Python functions: dates and times both ways, and
numeric fields, where Python refuses a field that would lose digits."""

import datetime

import pytest

from pmdb import masks


def test_dates_and_times():
    assert masks.date(datetime.date(1996, 3, 7), "mm xyz") == "03 X6Z"
    assert masks.date((1996, 12, 25), "DD.MM.YYYY") == "25.12.1996"
    assert masks.parse_date("25.12.1996", "DD.MM.YYYY") == (1996, 12, 25)
    assert masks.parse_date("  /07", "MM/DD/YY") == (0, 0, 7)
    assert masks.time(datetime.time(23, 59, 7), "HHMMSSSS") == "23590007"
    assert masks.parse_time("09:05:07", "HH:MM:SS") == (9, 5, 7)
    with pytest.raises(ValueError):
        masks.date((1996, 3, 200), "DD")
    with pytest.raises(ValueError):
        masks.date((1996, 3, 7), "DD\0MM")


def test_numbers():
    assert masks.number("-1234.5", "###,##0.00-") == "  1,234.50-"
    assert masks.number(12, "$$$,$$0.00") == "    $12.00"
    assert masks.number(0.5, "##0.00") == "  0.50"
    assert masks.number(1e-7, "0.00000000") == "0.00000010"
    with pytest.raises(ValueError):
        masks.number(1234567, "#,##0")
    with pytest.raises(ValueError):
        masks.number("12a", "##0")
    assert masks.digits("-1,234.5", 8) == "00012345"
    assert masks.plain_number("  1,234.50-") == "-1234.50"
    assert masks.blank_fill("000") == "  0" and masks.zero_fill("  1") == "001"
