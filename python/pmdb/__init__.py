"""pmdb: pmdblib databases from Python.

A database is one file: up to 15 logical files of variable-length records
addressed by rids, and one key index with 16 typed subkeys per logical file.

    import pmdb

    schema = '''
    1 customers 56
    1.0 long unique
    1.1 char dup
    '''
    with pmdb.create("shop.pmdb", schema) as db:
        with db.transaction():
            rid = db.add("customers", b"Baumann, Anna", keys={0: 1003, 1: "Baumann, Anna"})
        assert db.find("customers", 0, 1003) == rid
        for name, rid in db.scan("customers", 1, start="B", stop="C"):
            print(name, db.read(rid))

The module loads the shared library libpmdb.so.0: the one named by the
environment variable PMDB_LIB if set, else the one of the build it was
installed from, else the installed one the dynamic loader finds.
"""

from . import masks
from ._keys import KEYTYPES
from .database import Database, create, open
from .errors import (DuplicateKeyError, Error, LibraryNotFoundError, NotFoundError, OpenError, ReadOnlyError,
                     RollbackError, meaning, pmerrno_meaning)

__version__ = "0.1.0"

__all__ = ["Database", "create", "open", "masks", "KEYTYPES", "Error", "OpenError", "ReadOnlyError",
           "NotFoundError", "DuplicateKeyError", "RollbackError", "LibraryNotFoundError", "meaning",
           "pmerrno_meaning", "library_path"]


def library_path() -> str:
    """Where the shared library in use was loaded from."""
    from ._lib import lib

    lib.load()
    return lib.path or ""
