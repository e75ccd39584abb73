#!/usr/bin/env bash
# Builds Corvandel and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)"

echo
echo "Corvandel's libraries and tests are built in build/release."
echo "The main window is not there yet: there is nothing to start so far."
