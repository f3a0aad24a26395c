"""Fixtures of the pmdb module's tests. The library is the one PMDB_LIB
names (the test suite sets it to the build under test) or the one of the
source tree."""

import os

import pytest

import pmdb

SCHEMA = """
# every key type, in two logical files
1 customers 56
1.0 long unique
1.1 char dup
2 - 0
2.0 short unique
2.1 ushort dup
2.2 ulong unique
2.3 float dup
2.4 double unique
2.5 ldouble dup
2.6 uchar unique
2.7 none dup
"""


@pytest.fixture
def db(tmp_path):
    """A new database made from SCHEMA, in the test's own directory (the
    library's error log lands in the current directory)."""
    os.chdir(tmp_path)
    with pmdb.create(tmp_path / "t.pmdb", SCHEMA) as d:
        yield d
