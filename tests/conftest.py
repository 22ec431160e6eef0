import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))

from front import Front  # noqa: E402


@pytest.fixture
def front():
    """A fake trading front (no query limit) on an ephemeral loopback port."""
    with Front() as f:
        yield f
