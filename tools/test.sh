#!/usr/bin/env bash
# Runs every test: the C++ core's GoogleTest suite, then the Python suite on
# two stacks of dependencies:
#   debian  Debian 12's Python, NumPy, SciPy, scikit-learn and Dask (.venv, made
#           by tools/setup.sh), with vibrel built against NumPy 1.24's headers;
#   pypi    today's releases from PyPI (.venv-pypi, made by tools/setup_pypi.sh,
#           pins in tools/pypi-stack.txt), vibrel built by `pip install .`
#           against NumPy 2; then Debian's stack again with the module that
#           Debian's interpreter built against NumPy 2, which must run on 1.24.
# VIBREL_STACKS="debian" runs the first only (a machine without PyPI).
# Arguments go to every pytest run.
set -euo pipefail
cd "$(dirname "$0")/.."
stacks=${VIBREL_STACKS:-debian pypi}
timings=()
lap() { timings+=("$1: $((SECONDS - started)) s"); started=$SECONDS; }
describe() {
  "$1" -c 'import sys, importlib, importlib.metadata as m, vibrel._native as v
names = ["numpy", "scipy", "scikit-learn", "dask", "distributed"]
def version(name):
    try:
        return m.version(name)
    except m.PackageNotFoundError:
        return "absent"
print(f"Python {sys.version.split()[0]},", ", ".join(f"{n} {version(n)}" for n in names))
print("vibrel from", v.__file__)'
}

started=$SECONDS
bash tools/setup.sh
tag=$(.venv/bin/python -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')

echo "== C++ core (GoogleTest)"
meson test -C "build/$tag" --print-errorlogs

echo "== Extension sources against other CPython headers (compile only)"
bash tools/check_python_headers.sh

# PYTHONSAFEPATH keeps the working directory off sys.path, so the installed
# package is tested, never the sources.
echo "== Python (pytest), Debian's stack"
PYTHONSAFEPATH=1 describe .venv/bin/python
PYTHONSAFEPATH=1 .venv/bin/python -m pytest -q tests/python "$@"
lap "debian stack (set-up, C++, pytest)"

if [[ " $stacks " == *" pypi "* ]]; then
  bash tools/setup_pypi.sh
  lap "pypi set-up (both builds against NumPy 2)"

  echo "== Python (pytest), today's stack from PyPI"
  PYTHONSAFEPATH=1 describe .venv-pypi/bin/python
  PYTHONSAFEPATH=1 .venv-pypi/bin/python -m pytest -q tests/python "$@"
  lap "pypi stack (pytest)"

  echo "== Python (pytest), Debian's stack, the module built against NumPy 2"
  export PYTHONPATH="$PWD/build/numpy2-$tag" PYTHONSAFEPATH=1
  imported=$(describe .venv/bin/python)
  echo "$imported"
  [[ $imported == *"vibrel from $PYTHONPATH/"* ]] || { echo "test: the NumPy 2 build is not the one imported" >&2; exit 1; }
  .venv/bin/python -m pytest -q tests/python "$@"
  unset PYTHONPATH
  lap "numpy-2 build on Debian's NumPy (pytest)"
fi

echo "== Times"
printf '  %s\n' "${timings[@]}"
