#!/usr/bin/env bash
# Builds the module, starts the stand-in server (with call events) on a free loopback port
# and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_venv .venv
build_into .venv build/release
exec .venv/bin/python -m quelvant_standin.run_demo --call-events examples/demo.py
