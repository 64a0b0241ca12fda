# Sourced by the benchmark scripts: builds the module into the benchmark venv and compiles
# the C++ tools named (from benchmarks/tools/<name>.cpp into build/bench-tools) when stale.
#   bench_setup NAME...
. scripts/lib.sh

bench_setup() {
  ensure_venv .venv-bench "${TEST_PACKAGES[@]}"
  build_into .venv-bench build/bench
  tools=build/bench-tools
  mkdir -p "$tools"
  local name src
  for name in "$@"; do
    src=benchmarks/tools/$name.cpp
    if [ ! -x "$tools/$name" ] || [ "$src" -nt "$tools/$name" ]; then
      "${CXX:-g++}" -std=c++20 -O2 -Wall -Wextra -pthread -o "$tools/$name" "$src"
    fi
  done
}
