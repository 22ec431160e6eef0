#!/usr/bin/env bash
# Installs torvo into .venv (if needed) and runs the demo against a scripted
# trading front on loopback.
set -euo pipefail
cd "$(dirname "$0")"
PYTHON=${PYTHON:-python3}
[ -x .venv/bin/python ] || "$PYTHON" -m venv .venv
.venv/bin/python -m pip install -q .
cd examples && exec ../.venv/bin/python demo.py
