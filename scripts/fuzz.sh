#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ against the pure C++ core, with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for SECONDS_PER_TARGET seconds (default 20), as
# many side by side as there are cores.
# Each run starts from the seeds in fuzz/corpus/<target>/ plus what earlier local runs found
# (kept in fuzz/out/<target>/, not committed); a failing input is saved as
# fuzz/out/crashes/<target>-*, to be replayed with build/fuzz/<target> FILE.
# Installs clang with apt-get when no clang++ with libFuzzer is found; where it may not (not
# root, or no apt-get), says so and skips, exiting 0.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

seconds=${1:-20}
found=0
cxx=$(fuzzing_clang) || found=$?
if [ "$found" = 2 ]; then
  echo "fuzz: SKIPPED: no clang++ that links libFuzzer here (set CLANGXX to one, or run as root where apt-get can install clang)"
  exit 0
fi
[ "$found" = 0 ] || exit "$found"
BUILD=build/fuzz
OUT=fuzz/out
mkdir -p "$BUILD" "$OUT/crashes"
common=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined
        -fno-sanitize-recover=all -Isrc -Wall -Wextra -pthread)
# Coverage feedback comes from the core only, except where the harness instantiates the
# code under test itself (render.hpp is a template); the models in the harnesses are not
# what is being explored, and instrumenting them slows every run.
covered=(-fsanitize=fuzzer-no-link)

# name, whether the harness is instrumented for coverage, then the core sources it links
targets=(
  "line_reader no src/net/line_assembly.cpp src/client/core/reader_thread.cpp src/client/core/output.cpp src/net/socket.cpp"
  "ip_address no src/net/ip_address.cpp"
  "render yes src/commands/core/render.cpp src/commands/core/wire_line.cpp src/commands/core/command_tag.cpp src/net/socket.cpp"
  "session_routing no src/session/core/sync_connection.cpp src/session/core/link.cpp fuzz/session_core_side.cpp src/commands/core/command_tag.cpp src/commands/core/wire_line.cpp src/commands/core/render.cpp src/commands/core/login_defaults.cpp src/net/line_assembly.cpp src/net/socket.cpp src/net/ip_address.cpp src/net/os_error.cpp src/net/resolve.cpp"
)
# per target: longest input, and extra libFuzzer options
declare -A max_len=([line_reader]=16384 [ip_address]=64 [render]=1024 [session_routing]=4096)
declare -A extra=([line_reader]="-dict=fuzz/line_reader.dict" [session_routing]="-dict=fuzz/session_routing.dict")

# Every core source is compiled once, with the coverage flags, for whichever targets link it;
# as many compiles at a time as there are cores.
declare -A object_of=()
compile_once() {
  local src=$1 obj
  obj="$BUILD/obj/${src//\//_}.o"
  if [ -z "${object_of[$src]:-}" ]; then
    object_of[$src]=$obj
    job "$cxx" "${common[@]}" "${covered[@]}" -c "$src" -o "$obj"
  fi
}

echo "== building fuzz targets with $cxx"
mkdir -p "$BUILD/obj"
for t in "${targets[@]}"; do
  read -r name harness_covered sources <<<"$t"
  for src in $sources; do compile_once "$src"; done
  harness_flags=("${common[@]}")
  [ "$harness_covered" = yes ] && harness_flags+=("${covered[@]}")
  job "$cxx" "${harness_flags[@]}" -c "fuzz/${name}_fuzz.cpp" -o "$BUILD/obj/$name-harness.o"
done
jobs_wait
for t in "${targets[@]}"; do
  read -r name _ sources <<<"$t"
  objs=("$BUILD/obj/$name-harness.o")
  for src in $sources; do objs+=("${object_of[$src]}"); done
  job "$cxx" "${common[@]}" -fsanitize=fuzzer "${objs[@]}" -o "$BUILD/$name"
done
jobs_wait
echo "fuzz: built ${#targets[@]} targets in $BUILD"

# fuzz_target NAME: one target's run, its output in its log.
fuzz_target() {
  local name=$1
  mkdir -p "$OUT/$name"
  # shellcheck disable=SC2086
  "$BUILD/$name" -max_total_time="$seconds" -max_len="${max_len[$name]}" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$OUT/crashes/$name-" \
    ${extra[$name]:-} "$OUT/$name" "fuzz/corpus/$name" >"$BUILD/$name.log" 2>&1
}

# The targets run side by side, one per core: each still has its seconds of a core to itself.
names=()
for t in "${targets[@]}"; do
  read -r name _ <<<"$t"
  names+=("$name")
done
echo "== running each target for ${seconds}s, $(nproc) at a time"
status=0
total=0
for ((i = 0; i < ${#names[@]}; i += $(nproc))); do
  batch=("${names[@]:i:$(nproc)}")
  pids=()
  for name in "${batch[@]}"; do
    fuzz_target "$name" &
    pids+=($!)
  done
  for j in "${!batch[@]}"; do
    name=${batch[$j]}
    log="$BUILD/$name.log"
    if wait "${pids[$j]}"; then
      execs=$(awk '/^stat::number_of_executed_units:/ {print $2}' "$log")
      total=$((total + execs))
      echo "fuzz: $name: $execs inputs in ${seconds}s, no failure"
    else
      tail -n 40 "$log"
      echo "fuzz: $name: FAILED (full log $log, reproducer in $OUT/crashes/)"
      status=1
    fi
  done
done
echo "fuzz: ${#targets[@]} targets, $total inputs, $([ "$status" = 0 ] && echo "no failures" || echo "FAILED")"
exit "$status"
