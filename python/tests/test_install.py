"""pip installs the package offline, and the installed copy finds the
library it was installed with when PMDB_LIB is no longer set."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pmdb

PYTHON = Path(__file__).resolve().parents[1]


def test_pip_install_offline(tmp_path):
    lib = pmdb.library_path()
    # From a copy, so that the build leaves nothing in the source tree.
    src = tmp_path / "src"
    shutil.copytree(PYTHON, src, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__", ".pytest_cache"))
    env = dict(os.environ, PMDB_LIB=lib)
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--no-build-isolation",
                    "--target", str(tmp_path / "site"), str(src)], env=env, check=True, cwd=tmp_path)
    env.pop("PMDB_LIB")
    env["PYTHONPATH"] = str(tmp_path / "site")
    script = ("import pmdb; db = pmdb.create('x.pmdb'); rid = db.add(1, b'ok'); db.close();"
              "print(pmdb.library_path(), pmdb.open('x.pmdb').read(rid).decode())")
    out = subprocess.run([sys.executable, "-c", script], env=env, cwd=tmp_path, check=True,
                         capture_output=True, text=True).stdout.split()
    assert out == [str(Path(lib).resolve()), "ok"]
    # A relative PMDB_LIB is taken from where the program started.
    env["PMDB_LIB"] = os.path.relpath(lib, tmp_path)
    script = "import os, pmdb; os.mkdir('sub'); os.chdir('sub'); print(pmdb.library_path())"
    out = subprocess.run([sys.executable, "-c", script], env=env, cwd=tmp_path, check=True,
                         capture_output=True, text=True).stdout.split()
    assert Path(out[0]).resolve() == Path(lib).resolve()
