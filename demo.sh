#!/usr/bin/env bash
# Installs torvo and matplotlib (for the demo's chart) into .venv (creating it
# if needed) and runs the demo: a trading session against the simulated front
# that the demo starts in process on a free loopback port.  Arguments go to the
# demo (--short: no pauses for the reader; --chart FILE: where the PNG goes).
set -euo pipefail
cd "$(dirname "$0")"
PYTHON=${PYTHON:-python3}
[ -x .venv/bin/python ] || "$PYTHON" -m venv .venv
.venv/bin/python -m pip install -q . matplotlib
exec .venv/bin/python examples/demo.py "$@"
