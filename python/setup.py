"""Installs the pmdb package. The package itself is pure Python; what this
file adds is a note, in the installed copy, of the library it was built
with: the one PMDB_LIB names during the install, else the one built beside
these sources (../build/lib/libpmdb.so.0), if either is there."""

import os
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py


def built_library():
    env = os.environ.get("PMDB_LIB")
    if env:
        p = Path(env).resolve()
        p = p / "libpmdb.so.0" if p.is_dir() else p
    else:
        p = Path(__file__).resolve().parent.parent / "build" / "lib" / "libpmdb.so.0"
    return os.fspath(p) if p.exists() else None


class BuildPy(build_py):
    def run(self):
        super().run()
        where = Path(self.build_lib) / "pmdb" / "_where.py"
        where.write_text(f"# Written by setup.py when the package was installed.\nBUILT_LIBRARY = {built_library()!r}\n")


setup(cmdclass={"build_py": BuildPy})
