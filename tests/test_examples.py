"""The demo runs end to end against its scripted front."""

import os
import pathlib
import subprocess
import sys

import torvo

DEMO = pathlib.Path(__file__).resolve().parents[1] / "examples" / "demo.py"


def test_demo_logs_in_and_shows_market_data(tmp_path):
    root = os.path.dirname(os.path.dirname(torvo.__file__))
    env = dict(os.environ, PYTHONPATH=root)
    done = subprocess.run([sys.executable, str(DEMO)], cwd=tmp_path, env=env, capture_output=True,
                          text=True, encoding="utf-8", timeout=120)
    assert done.returncode == 0, done.stderr
    assert "snapshot query in flight: " in done.stdout
    assert "trading day '20261209', front 1, session 42" in done.stdout
    assert "changed columns: ['close', 'high']" in done.stdout
