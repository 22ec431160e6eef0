#!/usr/bin/env bash
# Installs torvo and its test dependencies into .venv, runs every test, then
# runs the tests again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer.  Works on a fresh machine with python3 and g++.
set -euo pipefail
cd "$(dirname "$0")"

PYTHON=${PYTHON:-python3}
[ -x .venv/bin/python ] || "$PYTHON" -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q '.[test]'

# Run from the project root with the pytest script (not `python -m pytest`), so
# `import torvo` finds the installed package rather than the source folder.
.venv/bin/pytest -q "$@"

if [ "${TORVO_SKIP_SANITIZE:-0}" != 1 ]; then
  bash tools/sanitize.sh "$@"
fi
