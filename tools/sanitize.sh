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
# Reports go to files as well as to the run's exit code: pytest captures the
# standard error of the tests, and a report from a subprocess would be lost.
reports=build/asan/reports
rm -rf "$reports"
mkdir -p "$reports"
common="halt_on_error=1:abort_on_error=0:exitcode=66:allocator_may_return_null=1:log_path=$PWD/$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$PWD/$reports/ubsan"
show_reports() {
  local status=$1
  # Warnings (an allocation too large for the sanitizer, answered with null
  # and so with MemoryError, as the tests expect) are not reports.
  local found
  found=$(grep -l -E 'ERROR|runtime error' "$reports"/* 2>/dev/null || true)
  if [ -n "$found" ]; then
    cat $found
    echo "sanitize: sanitizer reports above"
    exit 1
  fi
  exit "$status"
}
trap 'show_reports $?' EXIT

echo "== C++ core under AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS="$common:detect_leaks=1" build/asan/tests/cpp/core_tests --gtest_brief=1

echo "== Python under AddressSanitizer + UndefinedBehaviorSanitizer"
# The interpreter is not instrumented, so the runtime is preloaded; its own
# leaks at exit are not ours, so leak detection is off here (the leak tests
# measure the extension's references and memory directly). The C++ runtime is
# preloaded too, or the sanitizer finds no exception-throwing function to wrap
# (the interpreter does not link it). Subprocesses inherit the environment.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" ASAN_OPTIONS="$common:detect_leaks=0" \
  PYTHONSAFEPATH=1 PYTHONPATH="$PWD/build/asan/python" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python "$@"
