#!/usr/bin/env bash
# Builds Corvandel with its tests and runs every test.
# Usage: scripts/test.sh [--sanitize address,undefined|thread] [--build-dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
build_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
if [ -z "$build_dir" ]; then
  build_dir="build/test${sanitize:+-${sanitize//,/-}}"
fi

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=$([ -z "$sanitize" ] && echo RelWithDebInfo || echo Debug) -DCORVANDEL_SANITIZE="$sanitize" \
      -DCORVANDEL_BUILD_BENCH=$([ -z "$sanitize" ] && echo ON || echo OFF)
cmake --build "$build_dir" -j "$jobs"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
