#!/usr/bin/env bash
# Compile-only check of the extension's sources against another CPython's
# headers (default: pyenv's 3.13, if present), with Debian's NumPy headers.
#   bash tools/check_python_headers.sh [/path/to/include/python3.X]
set -euo pipefail
cd "$(dirname "$0")/.."
include=${1:-$(ls -d "$HOME"/.pyenv/versions/3.13*/include/python3.13 2>/dev/null | head -n 1 || true)}
if [ -z "$include" ] || [ ! -d "$include" ]; then
  echo "check_python_headers: no CPython headers given or found; nothing checked"
  exit 0
fi
numpy_include=$(/usr/bin/python3 -c 'import numpy; print(numpy.get_include())')
for source in src/module/*.cpp; do
  g++ -std=c++20 -Wall -Wextra -Werror -ffp-contract=off -fsyntax-only \
    -Isrc -I"$include" -isystem "$numpy_include" "$source"
done
echo "check_python_headers: src/module compiles against $include"
