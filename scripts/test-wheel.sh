#!/usr/bin/env bash
# The test suite against the manylinux wheel in dist/ (scripts/wheel.sh), installed in a fresh
# environment, build/wheel-venv: first with nothing but pytest beside it, where the stand-in
# server kit's fixture starts a server and a session logs in (tests/test_standin_plugin.py);
# then, with the test tools added, the whole suite. The tests run from a copy of tests/, so
# that everything they import comes from the wheel, not from the source tree.
# Arguments go to the whole-suite pytest run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

wheel=$(ls -t dist/quelvant_rs-*manylinux*.whl 2>/dev/null | head -n 1)
if [ -z "$wheel" ]; then
  echo "test-wheel: no manylinux wheel in dist/; run scripts/wheel.sh first" >&2
  exit 1
fi
venv=$PWD/build/wheel-venv
work=build/wheel-tests
rm -rf "$venv" "$work"
mkdir -p "$work"
cp -r tests "$work/tests"

echo "== $wheel and pytest alone in a fresh environment"
venv_install "$venv" "$wheel" "pytest>=8"
cd "$work"
"$venv/bin/python" - "$venv" <<'EOF'
import sys, quelvant_rs, quelvant_standin
for m in (quelvant_rs, quelvant_standin):
    if not m.__file__.startswith(sys.argv[1]):
        sys.exit(f"test-wheel: {m.__name__} comes from {m.__file__}, not from the wheel")
EOF
"$venv/bin/python" -m pytest -q -ra -p no:cacheprovider tests/test_standin_plugin.py

echo "== the whole suite, with the test tools added"
venv_install "$venv" "${TEST_PACKAGES[@]}"
"$venv/bin/python" -m pytest -q -ra -p no:cacheprovider -n "$PYTEST_WORKERS" "$@"
