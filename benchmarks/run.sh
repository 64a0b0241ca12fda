#!/usr/bin/env bash
# Builds the module into the benchmark venv, compiles the C++ baselines and runs every
# benchmark, printing one results table (also written to benchmarks/results/latest.md).
#   benchmarks/run.sh                 full run (about 6-7 minutes on 2 cores)
#   BENCH_QUICK=1 benchmarks/run.sh   smaller counts (about 3 minutes)
#   BENCH_ROUNDS=7 benchmarks/run.sh  more rounds (at least 5)
set -euo pipefail
cd "$(dirname "$0")/.."
. benchmarks/setup.sh
bench_setup loopback_server send_floor read_floor pipe_drain rtt_floor rtt_floor_ext

exec .venv-bench/bin/python benchmarks/bench.py
