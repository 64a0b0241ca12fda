#!/usr/bin/env bash
# Builds the module into its own venv and runs the soak (benchmarks/soak.py): a million calls
# and a thousand connect/disconnect cycles, then a million Session requests, a thousand
# reconnects and a thousand Session open/close cycles; after each, memory, descriptors,
# threads and reference counts checked against their baseline. Arguments go to soak.py
# (--calls N, --cycles N, --requests N, --reconnects N, --sessions N).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_venv .venv-soak "${TEST_PACKAGES[@]}"
build_into .venv-soak build/soak
exec .venv-soak/bin/python benchmarks/soak.py "$@"
