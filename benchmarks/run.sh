#!/usr/bin/env bash
# Builds the module into the benchmark venv, compiles the C++ baselines and runs every
# benchmark, printing one results table (also written to benchmarks/results/latest.md).
#   benchmarks/run.sh                 full run (about 6-7 minutes on 2 cores)
#   BENCH_QUICK=1 benchmarks/run.sh   smaller counts (about 3 minutes)
#   BENCH_ROUNDS=7 benchmarks/run.sh  more rounds (at least 5)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_venv .venv-bench "${TEST_PACKAGES[@]}"
build_into .venv-bench build/bench

tools=build/bench-tools
mkdir -p "$tools"
for name in loopback_server send_floor read_floor pipe_drain rtt_floor; do
  src=benchmarks/tools/$name.cpp
  if [ ! -x "$tools/$name" ] || [ "$src" -nt "$tools/$name" ]; then
    "${CXX:-g++}" -std=c++20 -O2 -Wall -Wextra -pthread -o "$tools/$name" "$src"
  fi
done

exec .venv-bench/bin/python benchmarks/bench.py
