#!/usr/bin/env bash
# Builds the module with its generated type stubs into a venv of its own and checks the stubs
# as a user gets them from the wheel: stubtest and runtime agreement (scripts/check_stubs.py),
# then `mypy --strict` on the demo and on tests/typing/usage.py, which also runs as a script.
# Only mypy is needed; nothing here uses pyright. Arguments are passed to stubtest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

VENV=${STUBS_VENV:-.venv}
BUILD=${STUBS_BUILD:-build/release}
ensure_venv "$VENV" "${TEST_PACKAGES[@]}"
build_into "$VENV" "$BUILD"
PY="$VENV/bin/python"

status=0
step() {
  echo "== $*"
  "$@" || status=1
}

step "$PY" scripts/check_stubs.py "$@"
# Run from the repository root, the installed stub package is the only quelvant_rs mypy sees.
step "$PY" -m mypy --strict --cache-dir "$BUILD/mypy-cache" examples/demo.py tests/typing/usage.py
step "$PY" tests/typing/usage.py

if [ "$status" -ne 0 ]; then
  echo "check-stubs: FAILED" >&2
fi
exit "$status"
