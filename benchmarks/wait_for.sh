#!/usr/bin/env bash
# Builds the module into the benchmark venv, compiles the loopback server and runs
# benchmarks/wait_for.py: a call and a wait_for the event it causes, after 100,000 events
# nobody takes against none, for Session and AsyncSession. Arguments go to wait_for.py
# (--ignored N, --cycles N, --rounds N, --max-events N).
set -euo pipefail
cd "$(dirname "$0")/.."
. benchmarks/setup.sh
bench_setup loopback_server
exec .venv-bench/bin/python benchmarks/wait_for.py "$@"
