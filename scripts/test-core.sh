#!/usr/bin/env bash
# The C++ core's own test (sockets, addresses, reader, output lock, tags of received lines,
# the send queue, the session core's table), built without Python, under AddressSanitizer and
# UndefinedBehaviorSanitizer. Each core source is compiled once (as many at a time as there
# are cores) into a library that every self-test links, taking what it uses.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

CXX=${CXX:-g++}
BUILD=build/core-test
flags=(-std=c++20 -O1 -g -Wall -Wextra -Wpedantic -Wshadow -Isrc
  -fsanitize=address,undefined -fno-sanitize-recover=all)
sources=(src/net/*.cpp src/client/core/{output,reader_thread}.cpp
  src/commands/core/{command_tag,wire_line,render,login_defaults}.cpp src/session/core/link.cpp)
tests=(net_core_selftest send_queue_selftest session_core_selftest)
mkdir -p "$BUILD/obj"

objects=()
for src in "${sources[@]}"; do
  obj=$BUILD/obj/$(basename "$src" .cpp).o
  objects+=("$obj")
  job "$CXX" "${flags[@]}" -c "$src" -o "$obj"
done
for t in "${tests[@]}"; do
  job "$CXX" "${flags[@]}" -c "tests/core/$t.cpp" -o "$BUILD/obj/$t.o"
done
jobs_wait
rm -f "$BUILD/libcore.a"
ar rcs "$BUILD/libcore.a" "${objects[@]}"
for t in "${tests[@]}"; do
  "$CXX" "${flags[@]}" "$BUILD/obj/$t.o" "$BUILD/libcore.a" -pthread -o "$BUILD/$t"
done
for t in "${tests[@]}"; do
  "$BUILD/$t"
done
