#!/usr/bin/env bash
# Builds the module with its generated type stubs into a venv of its own and checks the stubs
# as a user gets them from the wheel: stubtest and runtime agreement (scripts/check_stubs.py),
# then `mypy --strict` on the examples (the demo, and a user's test suite built on the stand-in
# kit's fixture) and on tests/typing/usage.py, which also runs as a script, and on the kit
# and the console themselves; last, `pyright --verifytypes` must find 95 % or more of
# quelvant_rs's public symbols fully typed (the console's base classes from its terminal
# library are that library's to type). Arguments are passed to stubtest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

VENV=${STUBS_VENV:-.venv}
BUILD=${STUBS_BUILD:-$(module_build)}
ensure_venv "$VENV" "${TEST_PACKAGES[@]}" "${TYPING_TOOLS[@]}"
if [ "$VENV" = .venv ] && [ -z "${STUBS_BUILD:-}" ]; then
  ensure_module
else
  build_into "$VENV" "$BUILD"
fi
PY="$VENV/bin/python"

status=0
step() {
  echo "== $*"
  "$@" || status=1
}

step "$PY" scripts/check_stubs.py "$@"
# Run from the repository root, the installed package is the only quelvant_rs mypy sees.
step "$PY" -m mypy --strict --cache-dir "$BUILD/mypy-cache" examples/ tests/typing/usage.py quelvant_standin/
step "$PY" -m mypy --strict --cache-dir "$BUILD/mypy-cache" -p quelvant_rs.console
step "$PY" tests/typing/usage.py
# pyright takes the interpreter from PATH; run outside the source tree, it verifies the
# installed package.
verify_types() {
  local venv out score
  venv=$(cd "$VENV" && pwd)
  out=$(cd "$(mktemp -d)" && PATH="$venv/bin:$PATH" VIRTUAL_ENV="$venv" \
    "$venv/bin/pyright" --verifytypes quelvant_rs --ignoreexternal) || true
  score=$(sed -n 's/^Type completeness score: \([0-9.]*\)%$/\1/p' <<<"$out")
  echo "pyright --verifytypes quelvant_rs: ${score:-no score} %"
  if [ -z "$score" ] || ! awk -v s="$score" 'BEGIN { exit !(s >= 95) }'; then
    echo "$out" | tail -n 40
    return 1
  fi
}
step verify_types

if [ "$status" -ne 0 ]; then
  echo "check-stubs: FAILED" >&2
fi
exit "$status"
