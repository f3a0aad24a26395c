"""Databases as a whole: creating from a schema and reading it back,
opening, read-only use, control values, transactions, the error numbers'
meanings, and use from several threads."""

import os
import sys
import threading
from pathlib import Path

import pytest

import pmdb

from conftest import SCHEMA

SOURCE = Path(__file__).resolve().parents[2]


def test_schema_forms_and_refusals(tmp_path):
    os.chdir(tmp_path)
    with pmdb.create("a.pmdb", SCHEMA) as a:
        schema = a.schema
    assert schema["files"][1] == {"name": "customers", "rlen": 56, "keys": {
        0: {"keytype": "long", "dup": False}, 1: {"keytype": "char", "dup": True}}}
    assert schema["files"][2]["keys"][5] == {"keytype": "ldouble", "dup": True}
    assert schema["files"][2]["keys"][7] == {"keytype": "none", "dup": True}
    # The dict form makes the same database; the short subkey form too.
    with pmdb.create("b.pmdb", schema) as b:
        assert b.schema == schema
    with pmdb.create("c.pmdb", {"files": {"1": {"keys": {8: "long unique"}}}}) as c:
        assert c.schema == {"files": {1: {"name": "", "rlen": 0, "keys": {8: {"keytype": "long", "dup": False}}}}}
        assert c.find(1, 8, 5) is None
    with pmdb.open("a.pmdb") as a, pytest.raises(pmdb.Error, match="takes no keys"):
        a.add(2, b"x", keys={7: "x"})
    with pytest.raises(FileExistsError):
        pmdb.create("a.pmdb")
    pmdb.create("a.pmdb", overwrite=True).close()
    for bad, why in [("1 x 5\n1.0 long maybe\n", "line 2"), ("16 x 5", "line 1"), ("1.0 long unique\n1.0 char dup", "twice"),
                     ({"files": {1: {"rlen": -1}}}, "record length"), ({"xblkfreq": 1}, "xblkfreq")]:
        with pytest.raises(ValueError, match=why):
            pmdb.create("d.pmdb", bad)
        assert not os.path.exists("d.pmdb")


def test_open_read_only_and_control_values(tmp_path):
    os.chdir(tmp_path)
    with pytest.raises(pmdb.OpenError) as e:
        pmdb.open("missing.pmdb")
    assert e.value.pmerrno == 7 and 1015 in e.value.numbers
    Path("zeros.pmdb").write_bytes(bytes(3072))
    with pytest.raises(pmdb.OpenError):
        pmdb.open("zeros.pmdb")
    with pmdb.create("t.pmdb", SCHEMA) as db:
        rid = db.add(1, b"x", keys={0: 5})
        db.counter = 30000
        assert db.next_counter() == 65536
        db.business_date, db.app_status = 20270101, True
    with pmdb.open("t.pmdb", readonly=True) as db:
        assert (db.counter, db.business_date, db.app_status) == (65536, 20270101, True)
        assert db.read(rid) == b"x" and db.find(1, 0, 5) == rid
        for change in (lambda: db.add(1, b"y"), lambda: db.delete(rid), lambda: setattr(db, "counter", 1),
                       lambda: db.add_key(rid, 0, 6)):
            with pytest.raises(pmdb.ReadOnlyError) as e:
                change()
            assert 1025 in e.value.numbers
    with pmdb.open("t.pmdb") as db:
        assert [r for r, _ in db.records(1)] == [rid] and db.counter == 65536
    assert db.closed
    with pytest.raises(ValueError):
        db.read(rid)


def test_transactions(db):
    with db.transaction():
        a = db.add(1, b"a", keys={0: 1})
        b = db.add(1, b"b", keys={0: 2})
    with db.transaction():
        with pytest.raises(pmdb.Error, match="already open"):
            with db.transaction():
                pass
    with pytest.raises((KeyError, pmdb.RollbackError)) as e:
        with db.transaction():
            db.delete(a, keys={0: 1})
            db.write(b, b"changed")
            raise KeyError("stop")
    if db.can_rollback:
        assert e.type is KeyError
        assert db.read(a) == b"a" and db.read(b) == b"b" and db.find(1, 0, 1) == a
    else:
        assert isinstance(e.value.__cause__, KeyError) and "cannot be rolled back" in str(e.value)
    with pmdb.open(db.path, readonly=True) as other:
        assert other.find(1, 0, 2) == b


def test_errors_carry_the_documented_meanings():
    sys.path.insert(0, str(SOURCE / "python"))
    import gen_errtable
    from pmdb import _errtable

    pmerrnos, errors = gen_errtable.parse((SOURCE / "docs" / "errors.md").read_text())
    assert (_errtable.PMERRNO, _errtable.ERRORS) == (pmerrnos, errors), \
        "docs/errors.md changed: run python/gen_errtable.py"
    e = pmdb.Error("x", [1345, 1125], 0, "")
    assert e.number == 1125 and e.meanings[1125] == errors[1125] and str(e).count("error ") == 2


def test_threads_take_turns(db):
    def work(k):
        for i in range(50):
            rid = db.add(2, bytes([k]) * i, keys={0: k * 100 + i})
            assert db.read(rid) == bytes([k]) * i and db.find(2, 0, k * 100 + i) == rid

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(list(db.records(2))) == 200 and len(list(db.scan(2, 0))) == 200


def test_durable_commits_and_a_small_cache(tmp_path):
    os.chdir(tmp_path)
    from pmdb._lib import lib

    if not lib.has("fssetsync"):
        pytest.skip("the library has no fssetsync")
    with pytest.raises(ValueError):
        pmdb.create("t.pmdb", cache_kib=-1)
    assert not os.path.exists("t.pmdb")
    # No cache below the buffers: every change goes to the file at once,
    # and a failed transaction still takes all of its changes back.
    with pmdb.create("t.pmdb", SCHEMA, durable=True, cache_kib=0) as db:
        keep = db.add(1, b"keep", keys={0: 1})
        with pytest.raises(KeyError):
            with db.transaction():
                for i in range(2, 400):
                    db.add(1, bytes(range(200)), keys={0: i})
                raise KeyError("stop")
    with pmdb.open("t.pmdb") as db:
        assert [r for r, _ in db.records(1)] == [keep] and list(db.scan(1, 0)) == [(1, keep)]
