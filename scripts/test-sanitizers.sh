#!/usr/bin/env bash
# The test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# The interpreter itself is not instrumented, so the ASan runtime is preloaded, and Python's
# allocator is switched to malloc so that ASan sees Python objects too.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_venv .venv-asan "${TEST_PACKAGES[@]}"
build_into .venv-asan build/asan "QUELVANT_SANITIZE=address,undefined" "CMAKE_BUILD_TYPE=RelWithDebInfo"
asan_runtime=$(${CXX:-g++} -print-file-name=libasan.so)
# Reports go to files as well: a process that aborts inside pytest's output capture would
# otherwise take its report with it.
reports="$PWD/build/asan/report"
rm -f "$reports".*
status=0
LD_PRELOAD="$asan_runtime" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:log_path=$reports" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports" \
PYTHONMALLOC=malloc \
QUELVANT_SANITIZED=1 \
  .venv-asan/bin/python -m pytest -q -p no:cacheprovider "$@" || status=$?
if compgen -G "$reports.*" >/dev/null; then
  echo "== sanitizer reports"
  cat "$reports".*
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
