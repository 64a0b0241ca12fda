#!/usr/bin/env bash
# Builds the module into .venv and the manylinux wheel and sdist into dist/ (checked by
# auditwheel), runs the whole test suite against the wheel in a fresh environment and the C++
# core's own test, checks the type stubs, builds the documentation site and runs its examples,
# then runs the same suite against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, the reader, output and session-thread
# tests under ThreadSanitizer, and a short run of every fuzz target (15 s each). Each step
# says what it does as it starts and how long it took. Arguments go to the two pytest runs
# of the suite. CI runs exactly this.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

step "include graph of src/" python3 scripts/include_graph.py
step "build: .venv with the build and test tools, the module compiled into it (build/release)" \
  eval 'ensure_venv .venv "${TEST_PACKAGES[@]}" && build_into .venv build/release'
step "wheel: sdist and manylinux2014 wheel in dist/ (scripts/wheel.sh)" scripts/wheel.sh
step "tests: the suite against the wheel in a fresh environment (scripts/test-wheel.sh)" \
  scripts/test-wheel.sh "$@"
step "C++ core test: the core's self-test, without Python, under ASan + UBSan" scripts/test-core.sh
step "stubs: stubtest and mypy --strict on the generated type stubs" scripts/check-stubs.sh
step "docs: the site into build/docs/html (warnings are errors), every example run (scripts/docs.sh)" \
  scripts/docs.sh
step "tests, AddressSanitizer + UBSan: a sanitizer build (build/asan), then the suite" \
  scripts/test-sanitizers.sh "$@"
step "ThreadSanitizer: core stress, then the threaded tests against a TSan build" scripts/test-tsan.sh
step "fuzzing: 15 s per libFuzzer target, clang installed with apt-get if missing" scripts/fuzz.sh 15
