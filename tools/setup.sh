#!/usr/bin/env bash
# Everything vibrel needs on a fresh Debian 12 machine: the Debian packages,
# a virtual environment in .venv that sees Debian's NumPy, and the package
# built and installed into it. Idempotent; a rebuild after a one-file change
# reuses build/<python tag> and takes seconds.
#
# PYTHON=/path/to/python3 selects another interpreter (default: Debian's).
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-/usr/bin/python3}
packages=(
  g++ pkg-config meson ninja-build
  python3-dev python3-venv python3-numpy python3-mesonpy
  python3-pytest python3-hypothesis python3-scipy python3-matplotlib python3-sklearn python3-joblib python3-dask python3-distributed
  libtbb-dev libgtest-dev libbenchmark-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

version() { "$1" -c 'import sys; print(sys.version)'; }
if [ -x .venv/bin/python ] && [ "$(version .venv/bin/python)" != "$(version "$PYTHON")" ]; then
  echo "setup: .venv was made with another interpreter; making it anew"
  rm -rf .venv
fi
[ -x .venv/bin/python ] || "$PYTHON" -m venv --system-site-packages .venv

tag=$(.venv/bin/python -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
builddir="build/$tag"
# meson-python leaves this file behind; with a missing build directory it
# makes the next configure fail.
mkdir -p build
[ -d "$builddir" ] || rm -f .mesonpy-native-file.ini
# pyproject.toml leaves the C++ tests and micro-benchmarks out of a user's
# build (auto_features=disabled); this developer build turns them on.
.venv/bin/python -m pip install --quiet --no-build-isolation --no-deps \
  --config-settings=builddir="$builddir" --config-settings=setup-args=-Dauto_features=enabled .
echo "setup: vibrel installed into .venv ($builddir)"
