#!/usr/bin/env bash
# Builds the documentation site into build/docs/html with Sphinx, warnings as errors, then runs
# every python example of the README and of the site against a stand-in server
# (tests/test_examples.py). It installs its tools into .venv and builds the module there
# first: the API reference is made from the type stubs, and from the pages on the commands
# and the session settings, that the build generates from the command catalogue and the
# settings table. Arguments go to sphinx-build.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_venv .venv "${TEST_PACKAGES[@]}" "${DOC_TOOLS[@]}"
mkdir -p build/docs
ensure_module >build/docs/module-build.log 2>&1 || { cat build/docs/module-build.log; exit 1; }
generated=$(module_build)

# The pages and the generated ones together, outside the source tree.
src=build/docs/src
rm -rf "$src" build/docs/html
mkdir -p "$src"
cp -r docs/. "$src/"
cp "$generated"/quelvant_rs-docs/commands.rst "$generated"/quelvant_rs-docs/settings.rst \
  "$src/reference/"
mkdir -p "$src/_included"
cp benchmarks/README.md "$src/_included/benchmarks.md"
QUELVANT_STUB_DIR="$(cd "$generated" && pwd)/quelvant_rs-stubs" \
  .venv/bin/python -m sphinx -b html -W --keep-going -q -d build/docs/doctrees "$@" \
  "$src" build/docs/html
echo "docs: build/docs/html/index.html"

.venv/bin/python -m pytest -q -p no:cacheprovider tests/test_examples.py
