"""The type stubs shipped in the package match the extension modules."""

import os
import subprocess
import sys

import pytest

import torvo

pytest.importorskip("mypy")

MODULES = ["torvo._relay", "torvo.ledger", "torvo.data", "torvo.trading"]


@pytest.mark.nosanitize
def test_stubs_match_the_modules(tmp_path):
    # stubtest imports the modules and compares them with the .pyi files that
    # lie beside them; run it outside the project so it sees this very package.
    root = os.path.dirname(os.path.dirname(torvo.__file__))
    env = dict(os.environ, PYTHONPATH=root)
    allowlist = os.path.join(os.path.dirname(__file__), "stubtest-allowlist.txt")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--allowlist", allowlist, *MODULES],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
