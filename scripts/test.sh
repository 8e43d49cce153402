#!/usr/bin/env bash
# Installs what is missing, builds the viewer twice (for the tests, and with AddressSanitizer and
# UndefinedBehaviorSanitizer for the scenario that needs it) and runs every test through ctest.
# Both builds use clang and Ninja, which build this code in about half the time of g++ and make, at
# -O1 and without debug information: the tests need no more, and the whole run stays near 3 minutes.
# A failed end-to-end test keeps its logs under build/e2e-logs/.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)
export CC=clang CXX=clang++
# A tree configured before with another generator or compiler is configured anew.
for dir in build build-asan; do
  if ! grep -qs '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$dir/CMakeCache.txt" ||
    ! grep -qs '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang++' "$dir/CMakeCache.txt"; then
    rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
  fi
done
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" >/dev/null
cmake --build build -j"$jobs"

# The sanitizer build only needs the executable that scenario runs.
cmake -G Ninja -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 -DENABLE_ASAN=ON \
  -DENABLE_UBSAN=ON >/dev/null
cmake --build build-asan -j"$jobs" --target spice-client

export SPICE_CLIENT_ASAN="$PWD/build-asan/spice-client"
cd build
# Tests run side by side, one more than the processors: the scenarios spend much of their time
# waiting for their servers and displays, each its own, and wait for events, not for the clock.
ctest --output-on-failure --timeout 600 -j"$((jobs + 1))" "$@"
