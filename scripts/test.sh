#!/usr/bin/env bash
# Builds the manylinux wheels and sdist into dist/ (checked by auditwheel) and installs the
# 3.13 wheel into .venv, which every later step uses; runs the whole test suite against the
# 3.13 wheel and against the stable-ABI wheel on 3.13 and 3.12 in fresh environments, and the
# part that differs by version against the 3.12 and 3.11 wheels; runs the C++ core's own test,
# checks the type stubs and the typing of the examples, builds the documentation site and runs
# its examples, then runs the same suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, the reader, output and session-thread tests under
# ThreadSanitizer, and a short run of every fuzz target (15 s each). Each step says what it
# does as it starts, that it still runs when it has been silent for 10 s, and how long it took.
# A step that fails does not stop the run: the later ones still run, and the run fails at the
# end naming every step that failed. Arguments go to the pytest runs of the suite. CI runs
# exactly this.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
started=$SECONDS

# module_from_wheel: installs the main version's wheel into .venv, where every later step that
# needs the module takes it (the stubs, the docs, the sanitizer runs' packages): one compile
# serves both. Without a wheel (its build failed), the module is compiled into .venv as
# scripts/demo.sh does, so that the later steps still run; this step fails then.
module_from_wheel() {
  local wheel
  wheel=$(ls -t dist/quelvant_rs-*-cp${PYTHON_VERSIONS[0]/./}-*manylinux*.whl 2>/dev/null | head -n 1)
  if [ -n "$wheel" ] && install_wheel .venv "$wheel"; then
    echo "$wheel in .venv"
    export QUELVANT_MODULE_BUILD=build/wheel/cmake-${PYTHON_VERSIONS[0]}
    return
  fi
  echo "no ${PYTHON_VERSIONS[0]} wheel in dist/: compiling the module into .venv (build/release)"
  build_into .venv build/release
  return 1
}

ci_step "include graph of src/" python3 scripts/include_graph.py
ci_step "tools: .venv with the build, packaging, test, typing and documentation tools" \
  ensure_venv .venv "${TEST_PACKAGES[@]}" "${WHEEL_TOOLS[@]}" "${TYPING_TOOLS[@]}" "${DOC_TOOLS[@]}"
ci_step "wheels: sdist, the manylinux2014 wheels of ${PYTHON_VERSIONS[*]} and abi3 in dist/ (scripts/wheel.sh)" \
  scripts/wheel.sh
ci_step "the module in .venv: the ${PYTHON_VERSIONS[0]} wheel's" module_from_wheel
ci_step "tests: the suite against the ${PYTHON_VERSIONS[0]} wheel in a fresh environment (scripts/test-wheel.sh)" \
  scripts/test-wheel.sh "$@"
ci_step "tests: the suite against the abi3 wheel on ${PYTHON_VERSIONS[0]}" \
  scripts/test-wheel.sh --abi3 "$@"
ci_step "tests: the suite against the abi3 wheel on 3.12" scripts/test-wheel.sh --python 3.12 --abi3 "$@"
for version in "${PYTHON_VERSIONS[@]:1}"; do
  ci_step "tests: what differs by version (${VERSION_TESTS[*]}) against the $version wheel" \
    scripts/test-wheel.sh --python "$version" "${VERSION_TESTS[@]}" "$@"
done
ci_step "C++ core test: the core's self-test, without Python, under ASan + UBSan" scripts/test-core.sh
ci_step "stubs: stubtest and mypy --strict on the generated type stubs and the examples" scripts/check-stubs.sh
ci_step "docs: the site into build/docs/html (warnings are errors), every example run (scripts/docs.sh)" \
  scripts/docs.sh
ci_step "tests, AddressSanitizer + UBSan: a sanitizer build (build/asan), then the suite" \
  scripts/test-sanitizers.sh "$@"
ci_step "ThreadSanitizer: core stress, then the threaded tests against a TSan build" scripts/test-tsan.sh
ci_step "fuzzing: 15 s per libFuzzer target, clang installed with apt-get if missing" scripts/fuzz.sh 15
echo "== CI: $((SECONDS - started)) s"
ci_verdict
