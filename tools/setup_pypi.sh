#!/usr/bin/env bash
# The second test stack: today's releases from PyPI, pinned in
# tools/pypi-stack.txt. Run after tools/setup.sh (which installs the compiler,
# oneTBB and Debian's Python). Idempotent: the stack is installed again only
# when its pins or pyproject.toml change; pip's cache keeps the downloads.
#
#  .venv-pypi        a plain venv (no system packages) from the newest CPython
#                    found (PYPI_PYTHON overrides), with the stack and vibrel
#                    built by `pip install .` with build isolation, so against
#                    NumPy 2's headers
#  build/numpy2-cpXY vibrel built the same way for Debian's interpreter, which
#                    tools/test.sh runs under Debian's NumPy 1.24
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
stack="$root/tools/pypi-stack.txt"

newest_python() {
  local candidate
  for candidate in "$HOME"/.pyenv/versions/3.1[3-9]*/bin/python3 "$HOME"/.pyenv/versions/3.12*/bin/python3; do
    # A free-threaded or otherwise suffixed build is not today's default.
    [[ $candidate =~ /3\.[0-9]+\.[0-9]+/bin ]] && [ -x "$candidate" ] && { echo "$candidate"; return; }
  done 2>/dev/null
  echo /usr/bin/python3
}
PYPI_PYTHON=${PYPI_PYTHON:-$(newest_python)}

version() { "$1" -c 'import sys; print(sys.version)'; }
tag_of() { "$1" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")'; }

if [ -x .venv-pypi/bin/python ] && [ "$(version .venv-pypi/bin/python)" != "$(version "$PYPI_PYTHON")" ]; then
  echo "setup_pypi: .venv-pypi was made with another interpreter; making it anew"
  rm -rf .venv-pypi
fi
[ -x .venv-pypi/bin/python ] || "$PYPI_PYTHON" -m venv .venv-pypi

# The pins also bind the isolated build environments (pip hands the variable on).
export PIP_CONSTRAINT="$stack"
# This machine's pip configuration names local indexes that may be missing;
# pip warns about each on every call. Other messages pass.
pip_of() {
  local status=0
  "$1" -m pip "${@:2}" --disable-pip-version-check 2> >(grep -v "is ignored: it is neither a file nor a directory" >&2) || status=$?
  return $status
}

# Every isolated build sees NumPy's headers at a new temporary path and so
# recompiles the module; a build is skipped instead while its inputs (sources,
# build files, pins) are those of the last one.
inputs() {
  { git ls-files -z -c -o --exclude-standard -- src python meson_options.txt pyproject.toml \
      '*meson.build' | sort -z | xargs -0 sha256sum; cat "$stack"; } | sha256sum
}
built=$(inputs)

stamp=.venv-pypi/vibrel-stack.sha256
wanted=$(cat "$stack" pyproject.toml | sha256sum)
tag=$(tag_of .venv-pypi/bin/python)
if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
  echo "setup_pypi: installing the stack of tools/pypi-stack.txt into .venv-pypi"
  rm -f .venv-pypi/vibrel-build.sha256
  pip_of .venv-pypi/bin/python install --quiet --config-settings=builddir="build/pypi-$tag" ".[test]"
  echo "$wanted" > "$stamp"
  echo "$built" > .venv-pypi/vibrel-build.sha256
elif [ "$(cat .venv-pypi/vibrel-build.sha256 2>/dev/null)" != "$built" ]; then
  rm -f .venv-pypi/vibrel-build.sha256
  pip_of .venv-pypi/bin/python install --quiet --no-deps --config-settings=builddir="build/pypi-$tag" .
  echo "$built" > .venv-pypi/vibrel-build.sha256
fi
pip_of .venv-pypi/bin/python check

# Debian's interpreter builds a wheel against NumPy 2 in an isolated
# environment, unpacked where PYTHONPATH can put it before .venv's own copy.
deb_tag=$(tag_of .venv/bin/python)
site="build/numpy2-$deb_tag"
if [ "$(cat "$site/.inputs.sha256" 2>/dev/null)" != "$built" ]; then
  wheels=$(mktemp -d)
  trap 'rm -rf "$wheels"' EXIT
  pip_of .venv/bin/python wheel --quiet --no-deps --wheel-dir "$wheels" \
    --config-settings=builddir="build/numpy2-build-$deb_tag" .
  rm -rf "$site"
  .venv/bin/python -m zipfile -e "$wheels"/vibrel-*.whl "$site"
  echo "$built" > "$site/.inputs.sha256"
fi
echo "setup_pypi: vibrel installed into .venv-pypi (build/pypi-$tag) and unpacked into $site"
