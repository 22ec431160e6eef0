"""Each extension module exports its init function and nothing else."""

import pathlib
import shutil
import subprocess
import sys

import pytest

import torvo

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("nm") is None,
                                reason="reads ELF dynamic symbol tables with nm")

MODULES = ["_relay", "ledger", "data", "trading"]


def exported(path):
    out = subprocess.run(["nm", "-D", "--defined-only", str(path)], capture_output=True, text=True,
                         check=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


@pytest.mark.parametrize("name", MODULES)
def test_module_exports_only_its_init_function(name):
    path = next(pathlib.Path(torvo.__file__).parent.glob(f"{name}.*.so"))
    assert exported(path) == {f"PyInit_{name}"}
