# Sourced by the benchmark scripts: builds the module into the benchmark venv and compiles
# the C++ tools named (from benchmarks/tools/<name>.cpp into build/bench-tools) when stale;
# a name ending in _ext is an extension module for the venv's interpreter instead.
#   bench_setup NAME...
. scripts/lib.sh

bench_setup() {
  ensure_venv .venv-bench "${TEST_PACKAGES[@]}"
  build_into .venv-bench build/bench
  tools=build/bench-tools
  mkdir -p "$tools"
  local name src
  for name in "$@"; do
    src=benchmarks/tools/$name.cpp
    case $name in
      *_ext) bench_extension "$name" "$src" ;;
      *)
        if [ ! -x "$tools/$name" ] || [ "$src" -nt "$tools/$name" ] ||
          [ benchmarks/tools/rtt_client.hpp -nt "$tools/$name" ]; then
          "${CXX:-g++}" -std=c++20 -O2 -Wall -Wextra -pthread -o "$tools/$name" "$src"
        fi ;;
    esac
  done
}

# An extension module the benchmark imports from build/bench-tools, built against the bench
# venv's interpreter (its headers and file name suffix).
bench_extension() {
  local name=$1 src=$2 include suffix out
  include=$(.venv-bench/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  suffix=$(.venv-bench/bin/python -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  out=$tools/$name$suffix
  if [ ! -f "$out" ] || [ "$src" -nt "$out" ] || [ benchmarks/tools/rtt_client.hpp -nt "$out" ]; then
    "${CXX:-g++}" -std=c++20 -O2 -Wall -Wextra -shared -fPIC -I"$include" -o "$out" "$src"
  fi
}
