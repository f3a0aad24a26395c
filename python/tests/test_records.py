"""Records: the round trip of bytes, walks, and the all-or-nothing adds
and deletes of a record with its keys."""

import pytest

import pmdb


def test_round_trip_and_walks(db):
    big = bytes(32767)  # packs into a block; the longest a record can be
    rids = [db.add("customers", data) for data in (b"a", b"", big, bytes(range(256)))]
    assert [db.read(r) for r in rids] == [b"a", b"", big, bytes(range(256))]
    db.write(rids[0], b"rewritten" * 50)
    assert db.read(rids[0]) == b"rewritten" * 50
    assert [r for r, _ in db.records(1)] == rids
    assert [r for r, _ in db.records("customers", reverse=True)] == rids[::-1]
    # Deleting while walking: the walk goes on from the deleted rid.
    seen = []
    for rid, _ in db.records(1):
        seen.append(rid)
        db.delete(rid)
    assert seen == rids and list(db.records(1)) == []
    assert list(db.records(2)) == []


def test_refusals_change_nothing(db):
    rid = db.add(1, b"keep")
    with pytest.raises(pmdb.Error) as e:
        db.add(1, bytes(range(256)) * 5)  # 1280 bytes that do not pack
    assert e.value.numbers == (1030,) and "fsadd" in e.value.meanings[1030]
    with pytest.raises(TypeError):
        db.add(1, "text is not bytes")
    with pytest.raises(ValueError):
        db.add(1, bytes(32768))
    with pytest.raises(ValueError):
        db.add(16, b"x")
    with pytest.raises(ValueError):
        db.add("nosuchfile", b"x")
    db.delete(rid)
    with pytest.raises(pmdb.NotFoundError) as e:
        db.read(rid)
    assert e.value.numbers == (1345, 1125) and "1125" in str(e.value)
    with pytest.raises(pmdb.NotFoundError):
        db.write(rid, b"x")
    with pytest.raises(pmdb.NotFoundError):
        db.delete(rid)
    with pytest.raises(ValueError):
        db.read(rid + (1 << 32))  # not cut to another record's rid
    assert list(db.records(1)) == []


def test_record_with_keys_all_or_nothing(db):
    a = db.add(1, b"Anna", keys={0: 1, 1: "Moser"})
    # The second key is taken: the record and its first key go again.
    with pytest.raises(pmdb.DuplicateKeyError):
        db.add(1, b"Hans", keys={1: "Keller", 0: 1})
    assert [r for r, _ in db.records(1)] == [a]
    assert db.find(1, 1, "Keller") is None
    # A wrong type is refused before anything is added.
    with pytest.raises(TypeError):
        db.add(1, b"Hans", keys={0: "one"})
    assert [r for r, _ in db.records(1)] == [a]
    # A delete naming a key the record lacks deletes nothing.
    with pytest.raises(pmdb.NotFoundError):
        db.delete(a, keys={1: "Moser", 0: 2})
    assert db.read(a) == b"Anna" and db.find(1, 1, "Moser") == a and db.find(1, 0, 1) == a
    db.delete(a, keys={0: 1, 1: "Moser"})
    assert db.find(1, 0, 1) is None and list(db.scan(1, 1)) == []
    db.add_key(db.add(1, b"x"), 1, "Keller")
    assert [v for v, _ in db.scan(1, 1)] == ["Keller"]
