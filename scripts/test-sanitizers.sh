#!/usr/bin/env bash
# The test suite (all but the stand-in server's own tests, or the pytest arguments given)
# against a build with AddressSanitizer and UndefinedBehaviorSanitizer, installed beside the
# release venv's packages.
# The interpreter itself is not instrumented, so the ASan runtime is preloaded, and Python's
# allocator is switched to malloc so that ASan sees Python objects too. The tests' watchdog
# limits take the build's known slowdown (about three times) on top of the pace they measure.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_venv .venv "${TEST_PACKAGES[@]}"
# -O1, as AddressSanitizer's authors advise: it finds the same faults, and the instrumented
# code compiles in half the time it takes at -O2.
build_aside .venv build/asan build/asan/site "QUELVANT_SANITIZE=address,undefined" "CMAKE_BUILD_TYPE=RelWithDebInfo" \
  "CMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -DNDEBUG"
asan_runtime=$(${CXX:-g++} -print-file-name=libasan.so)
# The stand-in server's own tests and its rules' run no module code, and the documentation's
# examples run in scripts/docs.sh (each is a process of its own); the rest is the whole suite.
selection=(--deselect tests/test_standin_server.py --deselect tests/test_standin_rules.py
  --deselect tests/test_examples.py)
if [ "$#" -gt 0 ]; then selection=("$@"); fi
# Reports go to files as well: a process that aborts inside pytest's output capture would
# otherwise take its report with it.
reports="$PWD/build/asan/report"
rm -f "$reports".*
pytest_limits 3
status=0
LD_PRELOAD="$asan_runtime" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:log_path=$reports" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports" \
PYTHONMALLOC=malloc \
QUELVANT_SANITIZED=1 \
QUELVANT_SLOWDOWN=3 \
STANDIN_SERVER_ENV_UNSET="LD_PRELOAD ASAN_OPTIONS UBSAN_OPTIONS PYTHONMALLOC" \
PYTHONPATH="$PWD/build/asan/site" \
  .venv/bin/python -m pytest -q -p no:cacheprovider -n "$PYTEST_WORKERS" "${PYTEST_LIMITS[@]}" "${selection[@]}" || status=$?
if compgen -G "$reports.*" >/dev/null; then
  echo "== sanitizer reports"
  cat "$reports".*
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
