#!/usr/bin/env bash
# Builds the module and runs the whole test suite, checks the type stubs, then runs the same
# suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# CI runs exactly this.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_venv .venv "${TEST_PACKAGES[@]}"
build_into .venv build/release
.venv/bin/python -m pytest -q "$@"

scripts/check-stubs.sh

scripts/test-sanitizers.sh "$@"
