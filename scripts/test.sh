#!/usr/bin/env bash
# Installs what is missing, builds the viewer twice (plain, and with AddressSanitizer for the
# tests that need it) and runs every test through ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"

# The sanitizer build only needs the executable and the in-process tests that run it.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DENABLE_ASAN=ON -DENABLE_UBSAN=ON >/dev/null
cmake --build build-asan -j"$jobs" --target spice-client

export SPICE_CLIENT_ASAN="$PWD/build-asan/spice-client"
cd build
ctest --output-on-failure --timeout 600 "$@"
