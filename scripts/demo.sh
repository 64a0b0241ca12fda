#!/usr/bin/env bash
# Makes .venv with the build tools (uv where it can be had, pip otherwise), builds the module
# into it, then starts the stand-in server (with call events) on a free loopback port and runs
# the demo against it. Each step says what it does as it starts.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

step "environment .venv with the build tools (scikit-build-core, CMake, Ninja)" ensure_venv .venv
step "compiling the module and installing it into .venv (build/release)" build_into .venv build/release
step "demo: examples/demo.py against a stand-in server with call events" \
  .venv/bin/python -m quelvant_standin.run_demo --call-events examples/demo.py
