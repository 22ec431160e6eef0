"""The demo trades end to end against the simulated front, in short mode."""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import torvo

DEMO = pathlib.Path(__file__).resolve().parents[1] / "examples" / "demo.py"


def test_demo_trades_resynchronises_and_charts(tmp_path):
    root = os.path.dirname(os.path.dirname(torvo.__file__))
    env = dict(os.environ, PYTHONPATH=root, TORVO_DEMO_SHORT="1")
    chart = tmp_path / "candles.png"
    done = subprocess.run([sys.executable, str(DEMO), "--chart", str(chart)], cwd=tmp_path,
                          env=env, capture_output=True, text=True, encoding="utf-8", timeout=120)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr
    out = done.stdout
    assert re.search(r"READY after \d+\.\d s", out)
    # Order rows: side, offset, price, lots, traded, left, status.
    buy = re.search(r"BUY\s+OPEN\s+\d+\s+2\s+2\s+0\s+FILLED", out)
    yesterday = re.search(r"SELL\s+CLOSE_YESTERDAY\s+\d+\s+5\s+5\s+0\s+FILLED", out)
    today = re.search(r"SELL\s+CLOSE_TODAY\s+\d+\s+1\s+1\s+0\s+FILLED", out)
    cancelled = re.search(r"BUY\s+OPEN\s+\d+\s+1\s+0\s+1\s+CANCELLED", out)
    assert buy and yesterday and today and cancelled, out
    assert buy.start() < yesterday.start() < today.start() < cancelled.start()
    # Change reports name records and fields, never bare identity numbers.
    assert re.search(r"Order \d+:\d+:\d+\s+order_sys_id, status, status_msg, volume_left, "
                     r"volume_traded", out)
    assert re.search(r"orders\s+__members__, ", out) and re.search(r"Trade \d+\s+direction", out)
    assert "unregistered id" not in out
    assert re.search(r"commit \d+: status SYNCING, no field changed", out)
    assert ("resynchronised: books equal the front's (sim.book); the user's records are the "
            "same objects") in out
    # The bar table: eight feeds, the first filling the empty last row.
    feeds = re.findall(r"^\s+(\d)\s+\d+\s+\d\d:\d\d:00\s+[\d.]+\s+[\d.]+\s+[\d.]+\s+[\d.]+\s+\d+"
                       r"\s+(.+)$", out, re.M)
    assert [n for n, _ in feeds] == [str(n) for n in range(1, 9)]
    assert feeds[0][1].startswith("timestamp, trading_day, open, high, low, close, volume")
    if importlib.util.find_spec("matplotlib") is None:
        assert "the candlestick chart is skipped" in out
    else:
        assert f"candlestick chart saved to {chart}" in out
        assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
