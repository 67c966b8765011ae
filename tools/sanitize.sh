#!/usr/bin/env bash
# Runs the tests under the compiler's sanitizers, each in its own build tree.
#   bash tools/sanitize.sh            AddressSanitizer + UndefinedBehaviorSanitizer (build/asan):
#                                     the GoogleTest suite, then the pytest suite against that build
#   bash tools/sanitize.sh --thread   ThreadSanitizer (build/tsan): the GoogleTest suite
# Any sanitizer report fails the run (non-zero exit). Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=address
if [ "${1:-}" = "--thread" ]; then
  mode=thread
  shift
fi

configure() {
  local dir=$1 sanitize=$2
  # A build tree of another configuration is made anew, not reconfigured.
  if [ -d "$dir" ] && [ ! -f "$dir/build.ninja" ]; then rm -rf "$dir"; fi
  if [ ! -d "$dir" ]; then
    meson setup "$dir" -Db_sanitize="$sanitize" -Dbuildtype=debugoptimized -Db_lundef=false \
      -Dcpp_args=-fno-sanitize-recover=all -Dbenchmarks=disabled >/dev/null
  fi
  ninja -C "$dir" >/dev/null
}

if [ "$mode" = thread ]; then
  configure build/tsan thread
  echo "== C++ core under ThreadSanitizer"
  TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$PWD/tools/tsan.supp" \
    build/tsan/tests/cpp/core_tests --gtest_brief=1 "$@"
  exit 0
fi

configure build/asan address,undefined
common="halt_on_error=1:abort_on_error=0:exitcode=66"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "== C++ core under AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS="$common:detect_leaks=1" build/asan/tests/cpp/core_tests --gtest_brief=1

echo "== Python under AddressSanitizer + UndefinedBehaviorSanitizer"
# The interpreter is not instrumented, so the runtime is preloaded; its own
# leaks at exit are not ours, so leak detection is off here (the leak tests
# measure the extension's references and memory directly). Subprocesses that
# the tests start inherit the same environment.
LD_PRELOAD="$(g++ -print-file-name=libasan.so)" ASAN_OPTIONS="$common:detect_leaks=0" \
  PYTHONSAFEPATH=1 PYTHONPATH=build/asan/python \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python "$@"
