#!/usr/bin/env bash
# Runs every test: the C++ core's GoogleTest suite, then the Python suite
# against the package installed in .venv. Does the set-up first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh
tag=$(.venv/bin/python -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')

echo "== C++ core (GoogleTest)"
meson test -C "build/$tag" --print-errorlogs

echo "== Extension sources against other CPython headers (compile only)"
bash tools/check_python_headers.sh

echo "== Python (pytest)"
# PYTHONSAFEPATH keeps the working directory off sys.path, so the installed
# package is tested, never the sources.
PYTHONSAFEPATH=1 .venv/bin/python -m pytest -q tests/python "$@"
