#!/usr/bin/env bash
# Builds the module into the benchmark venv, compiles the loopback server and runs
# benchmarks/wait_for.py: a call and a wait_for the event it causes, after 100,000 events
# nobody takes against none, for Session and AsyncSession. Arguments go to wait_for.py
# (--ignored N, --cycles N, --rounds N, --max-events N).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_venv .venv-bench "${TEST_PACKAGES[@]}"
build_into .venv-bench build/bench
tools=build/bench-tools
mkdir -p "$tools"
src=benchmarks/tools/loopback_server.cpp
if [ ! -x "$tools/loopback_server" ] || [ "$src" -nt "$tools/loopback_server" ]; then
  "${CXX:-g++}" -std=c++20 -O2 -Wall -Wextra -pthread -o "$tools/loopback_server" "$src"
fi
exec .venv-bench/bin/python benchmarks/wait_for.py "$@"
