#!/usr/bin/env bash
# The test suite against a manylinux wheel in dist/ (scripts/wheel.sh), installed in a fresh
# environment: first with nothing but pytest beside it, where the stand-in server kit's
# fixture starts a server and a session logs in (tests/test_standin_plugin.py); then, with the
# test tools added, the whole suite. The tests run from a copy of tests/, so that everything
# they import comes from the wheel, not from the source tree.
#
#   scripts/test-wheel.sh [--python 3.12] [--abi3] [PYTEST ARGUMENTS...]
#
# --python picks the interpreter (default the main version, 3.13) and so that version's own
# wheel; --abi3 takes the stable-ABI wheel instead, loaded by that interpreter. The remaining
# arguments go to the whole-suite pytest run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

python=${PYTHON_VERSIONS[0]}
abi3=
while [ "$#" -gt 0 ]; do
  case $1 in
    --python) python=$2; shift 2 ;;
    --abi3) abi3=1; shift ;;
    *) break ;;
  esac
done
cp=cp${python/./}
if [ -n "$abi3" ]; then
  name=abi3-$python
  pattern="quelvant_rs-*-abi3-manylinux*.whl"
  module_suffix=.abi3.so
else
  name=$python
  pattern="quelvant_rs-*-$cp-$cp-manylinux*.whl"
  module_suffix=.cpython-${python/./}-
fi
wheel=$(ls -t dist/$pattern 2>/dev/null | head -n 1)
if [ -z "$wheel" ]; then
  echo "test-wheel: no wheel dist/$pattern; run scripts/wheel.sh first" >&2
  exit 1
fi
venv=$PWD/build/wheel-venv-$name
work=build/wheel-tests-$name
rm -rf "$venv" "$work"
mkdir -p "$work"
cp -r tests "$work/tests"

echo "== $wheel and pytest alone in a fresh CPython $python environment"
VENV_PYTHON_VERSION=$python venv_install "$venv" "$wheel" "pytest>=8"
cd "$work"
"$venv/bin/python" - "$venv" "$module_suffix" <<'EOF'
import sys, quelvant_rs, quelvant_standin
venv, suffix = sys.argv[1:]
for m in (quelvant_rs, quelvant_standin):
    if not m.__file__.startswith(venv):
        sys.exit(f"test-wheel: {m.__name__} comes from {m.__file__}, not from the wheel")
if suffix not in quelvant_rs.__file__:
    sys.exit(f"test-wheel: the module loaded is {quelvant_rs.__file__}, not the wheel's *{suffix}*")
print(f"test-wheel: {quelvant_rs.__file__.rsplit('/', 1)[-1]} on {sys.version.split()[0]}")
EOF
"$venv/bin/python" -m pytest -q -ra -p no:cacheprovider tests/test_standin_plugin.py

echo "== the suite, with the test tools added"
VENV_PYTHON_VERSION=$python venv_install "$venv" "${TEST_PACKAGES[@]}"
"$venv/bin/python" -m pytest -q -ra -p no:cacheprovider -n "$PYTEST_WORKERS" "${PYTEST_LIMITS[@]}" "$@"
