#!/usr/bin/env bash
# Builds the module into its own venv and runs the soak (benchmarks/soak.py): a million calls
# and a thousand connect/disconnect cycles, then memory, descriptors and reference counts
# checked against their baseline. Arguments go to soak.py (--calls N, --cycles N).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_venv .venv-soak "${TEST_PACKAGES[@]}"
build_into .venv-soak build/soak
exec .venv-soak/bin/python benchmarks/soak.py "$@"
