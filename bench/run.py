"""Runs every benchmark script in bench/ and prints one table of all their figures.

Run from the project root (after building the modules in place):

    PYTHONPATH=. python bench/run.py [--only NAME ...] [--verbose]

The scripts (bench_*.py: data, ledger, books, commit, relay, latency) run one after
the other, each in a fresh interpreter like this one with
OPENBLAS_NUM_THREADS=1 and the rest of the environment unchanged, and each
writes its rows with --json.  The table gives, per hot path: torvo's time
per call, the baseline's (the script's plain-Python rendering of the same
steps; for bench_relay, the floor its docstring describes; for bench_latency,
the raw bridge or the session before the wake-up), the ratio and the target
as the script states them (a speed-up is baseline over torvo; a target "...
the time" and the ratios of bench_relay and bench_latency are torvo over the
baseline),
and whether the target is met.  Times are in microseconds.  The exit status
is 1 when a script failed, 0 otherwise (a missed target is reported, not an
error: figures vary with the machine's load).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
SCRIPTS = ["bench_data", "bench_ledger", "bench_books", "bench_commit", "bench_relay", "bench_latency"]


def run(name: str, directory: pathlib.Path, verbose: bool) -> tuple[list[dict] | None, str]:
    """The rows of one script, or None and what it printed when it failed."""
    out = directory / f"{name}.json"
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    done = subprocess.run([sys.executable, str(HERE / f"{name}.py"), "--json", str(out)], env=env,
                          capture_output=True, text=True)
    if verbose:
        print(done.stdout, end="")
    if done.returncode != 0 or not out.exists():
        return None, done.stdout + done.stderr
    return json.loads(out.read_text(encoding="utf-8")), done.stdout


def number(value: float | None, width: int, digits: int = 3) -> str:
    return f"{'-':>{width}}" if value is None else f"{value:{width}.{digits}f}"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="+", choices=SCRIPTS, metavar="NAME",
                        help=f"run only these scripts ({', '.join(SCRIPTS)})")
    parser.add_argument("--verbose", "-v", action="store_true", help="also print each script's own output")
    args = parser.parse_args(argv)

    results: list[tuple[str, list[dict] | None, str]] = []
    with tempfile.TemporaryDirectory(prefix="torvo-bench-") as directory:
        for name in args.only or SCRIPTS:
            print(f"running {name}.py ...", file=sys.stderr, flush=True)
            rows, output = run(name, pathlib.Path(directory), args.verbose)
            results.append((name, rows, output))

    header = (f"{'hot path':<50} {'torvo us':>10} {'baseline us':>11} {'ratio':>8}  {'target':<20} met")
    print(header)
    print("-" * len(header))
    failed = False
    for name, rows, output in results:
        print(f"{name}.py")
        if rows is None:
            failed = True
            print(f"  failed:\n{output.rstrip()}")
            continue
        for row in rows:
            met = {True: "yes", False: "no", None: "-"}[row["met"]]
            ratio = "-" if row["ratio"] is None else f"{row['ratio']:.2f}x"
            print(f"  {row['hot_path']:<48} {number(row['torvo_us'], 10)} {number(row['baseline_us'], 11)} "
                  f"{ratio:>8}  {row['target'] or '-':<20} {met}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
