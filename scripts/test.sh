#!/usr/bin/env bash
# Builds the module and runs the whole test suite and the C++ core's own test, checks the
# type stubs, then runs the same suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, the reader and output tests under ThreadSanitizer, and a short
# run of every fuzz target (20 s each).
# Arguments go to the two full pytest runs. CI runs exactly this.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_venv .venv "${TEST_PACKAGES[@]}"
build_into .venv build/release
.venv/bin/python -m pytest -q "$@"

scripts/test-core.sh

scripts/check-stubs.sh

scripts/test-sanitizers.sh "$@"

scripts/test-tsan.sh

scripts/fuzz.sh 20
