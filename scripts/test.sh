#!/usr/bin/env bash
# Builds the module and runs the whole test suite and the C++ core's own test, checks the
# type stubs, then runs the same suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, the reader, output and session-thread tests under
# ThreadSanitizer, and a short run of every fuzz target (15 s each). Each step says how long
# it took. Arguments go to the two pytest runs of the suite. CI runs exactly this.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

step "include graph of src/" python3 scripts/include_graph.py
step "build" eval 'ensure_venv .venv "${TEST_PACKAGES[@]}" && build_into .venv build/release'
step "tests" .venv/bin/python -m pytest -q "$@"
step "C++ core test" scripts/test-core.sh
step "stubs" scripts/check-stubs.sh
step "tests, AddressSanitizer + UBSan" scripts/test-sanitizers.sh "$@"
step "ThreadSanitizer" scripts/test-tsan.sh
step "fuzzing" scripts/fuzz.sh 15
