#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ against the pure C++ core, with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for SECONDS_PER_TARGET seconds (default 20).
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

build_target() {
  local name=$1 harness_covered=$2
  shift 2
  local objs=() src obj
  for src in "$@"; do
    obj="$BUILD/obj/$name/$(basename "$src" .cpp).o"
    "$cxx" "${common[@]}" "${covered[@]}" -c "$src" -o "$obj"
    objs+=("$obj")
  done
  local harness_flags=("${common[@]}")
  [ "$harness_covered" = yes ] && harness_flags+=("${covered[@]}")
  "$cxx" "${harness_flags[@]}" -c "fuzz/${name}_fuzz.cpp" -o "$BUILD/obj/$name/harness.o"
  "$cxx" "${common[@]}" -fsanitize=fuzzer "$BUILD/obj/$name/harness.o" "${objs[@]}" -o "$BUILD/$name"
  echo "fuzz: built $BUILD/$name"
}

echo "== building fuzz targets with $cxx"
pids=()
for t in "${targets[@]}"; do
  read -r name harness_covered sources <<<"$t"
  mkdir -p "$BUILD/obj/$name"
  # shellcheck disable=SC2086
  build_target "$name" "$harness_covered" $sources &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done

status=0
total=0
for t in "${targets[@]}"; do
  read -r name _ <<<"$t"
  mkdir -p "$OUT/$name"
  log="$BUILD/$name.log"
  # shellcheck disable=SC2086
  if "$BUILD/$name" -max_total_time="$seconds" -max_len="${max_len[$name]}" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$OUT/crashes/$name-" \
      ${extra[$name]:-} "$OUT/$name" "fuzz/corpus/$name" >"$log" 2>&1; then
    execs=$(awk '/^stat::number_of_executed_units:/ {print $2}' "$log")
    total=$((total + execs))
    echo "fuzz: $name: $execs inputs in ${seconds}s, no failure"
  else
    tail -n 40 "$log"
    echo "fuzz: $name: FAILED (full log $log, reproducer in $OUT/crashes/)"
    status=1
  fi
done
echo "fuzz: ${#targets[@]} targets, $total inputs, $([ "$status" = 0 ] && echo "no failures" || echo "FAILED")"
exit "$status"
