#!/usr/bin/env bash
# The C++ core's own test (sockets, addresses, reader, output lock, tags of received lines,
# the send queue, the session core's table), built without Python.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/core-test
${CXX:-g++} -std=c++20 -O1 -g -Wall -Wextra -Wpedantic -Wshadow -Isrc \
  -fsanitize=address,undefined -fno-sanitize-recover=all \
  tests/core/net_core_selftest.cpp \
  src/net/{ip_address,os_error,socket,line_assembly,resolve}.cpp \
  src/client/core/{output,reader_thread}.cpp \
  src/commands/core/command_tag.cpp \
  -pthread -o build/core-test/net_core_selftest
build/core-test/net_core_selftest
${CXX:-g++} -std=c++20 -O1 -g -Wall -Wextra -Wpedantic -Wshadow -Isrc \
  -fsanitize=address,undefined -fno-sanitize-recover=all \
  tests/core/send_queue_selftest.cpp src/net/*.cpp \
  src/commands/core/{command_tag,tagged_send,render,login_defaults}.cpp \
  -o build/core-test/send_queue_selftest
build/core-test/send_queue_selftest
${CXX:-g++} -std=c++20 -O1 -g -Wall -Wextra -Wpedantic -Wshadow -Isrc \
  -fsanitize=address,undefined -fno-sanitize-recover=all \
  tests/core/session_core_selftest.cpp src/net/{line_assembly,ip_address,os_error,resolve}.cpp \
  src/session/core/link.cpp \
  src/commands/core/command_tag.cpp \
  -o build/core-test/session_core_selftest
build/core-test/session_core_selftest
