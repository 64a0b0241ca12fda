#!/usr/bin/env bash
# ThreadSanitizer run of everything that starts reader threads or writes through the output
# lock: the C++ stress of the core (many readers and direct writers at once), then the
# reader, flood, output and fault tests, and the session tests where threads share one
# connection, against a TSan build of the module. The interpreter
# is not instrumented, so the TSan runtime is preloaded; its lock and thread interceptors
# still see the GIL, so only the module's own accesses are checked.
# Arguments, if given, replace the default pytest selection (files and -k expression).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

CXX=${CXX:-g++}
BUILD=build/tsan
# Thread leaks are not reported: the stand-in server (also run under the preloaded runtime)
# leaves its daemon threads at exit, and the reader threads are detached.
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:report_signal_unsafe=0:report_thread_leaks=0"

mkdir -p "$BUILD/obj"
echo "== core stress under ThreadSanitizer"
stress_flags=(-std=c++20 -O1 -g -fsanitize=thread -fno-omit-frame-pointer -Isrc)
objects=()
for src in tests/core/reader_stress.cpp src/client/core/*.cpp src/net/*.cpp; do
  objects+=("$BUILD/obj/$(basename "$src" .cpp).o")
  job "$CXX" "${stress_flags[@]}" -c "$src" -o "${objects[-1]}"
done
jobs_wait
"$CXX" "${stress_flags[@]}" "${objects[@]}" -pthread -o "$BUILD/reader_stress"
"$BUILD/reader_stress"

echo "== module tests under ThreadSanitizer"
ensure_venv .venv "${TEST_PACKAGES[@]}"
build_aside .venv "$BUILD/module" "$BUILD/site" "QUELVANT_SANITIZE=thread" "CMAKE_BUILD_TYPE=RelWithDebInfo"
tsan_runtime=$("$CXX" -print-file-name=libtsan.so)
selection=(tests/test_client.py tests/test_faults.py tests/test_session.py tests/test_async_session.py
  tests/test_session_faults.py tests/test_session_wire.py
  -k "reader or flood or output or reset or stdout or pipe or connect or thread or loss or blocked or close_ends_every_wait")
if [ "$#" -gt 0 ]; then selection=("$@"); fi
# Reports go to files: pytest's capture would swallow them when a test process aborts. The
# tests' watchdog limits take ThreadSanitizer's known slowdown (five to fifteen times).
rm -f "$BUILD"/report.*
pytest_limits 4
status=0
LD_PRELOAD="$tsan_runtime" TSAN_OPTIONS="$TSAN_OPTIONS:log_path=$PWD/$BUILD/report" \
STANDIN_SERVER_ENV_UNSET="LD_PRELOAD TSAN_OPTIONS" \
QUELVANT_SLOWDOWN=10 \
PYTHONPATH="$PWD/$BUILD/site" \
  .venv/bin/python -m pytest -q -p no:cacheprovider -n "$PYTEST_WORKERS" "${PYTEST_LIMITS[@]}" "${selection[@]}" || status=$?
if compgen -G "$BUILD/report.*" >/dev/null; then
  echo "== ThreadSanitizer reports"
  cat "$BUILD"/report.*
  status=1
fi
exit "$status"
