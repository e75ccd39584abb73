#!/usr/bin/env bash
# Builds Corvandel with its tests and runs every test.
# Usage: scripts/test.sh [--sanitize address,undefined|thread] [--no-tls] [--build-dir DIR]
# --no-tls builds without the secure layer and runs only what that changes:
# the HTTP library's secure-transport tests and corvandel-ping's.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
build_dir=""
tls=ON
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --no-tls) tls=OFF; shift ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
if [ -z "$build_dir" ]; then
  build_dir="build/test${sanitize:+-${sanitize//,/-}}"
  [ "$tls" = OFF ] && build_dir="$build_dir-no-tls"
fi

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
if [ "$tls" = OFF ]; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANDEL_SANITIZE="$sanitize" \
        -DCORVANDEL_TLS=OFF -DCORVANDEL_BUILD_GUI=OFF -DCORVANDEL_BUILD_BENCH=OFF
  cmake --build "$build_dir" -j "$jobs" --target corvandel-ping tls_tests
  ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" \
        -R '^(SecureLayerOffTest|ProxyConfigTest)[.]|^corvandel_ping_cli$'
  exit 0
fi
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=$([ -z "$sanitize" ] && echo RelWithDebInfo || echo Debug) -DCORVANDEL_SANITIZE="$sanitize" \
      -DCORVANDEL_BUILD_BENCH=$([ -z "$sanitize" ] && echo ON || echo OFF) -DCORVANDEL_COUNT_NODE_ACCESS=ON
cmake --build "$build_dir" -j "$jobs"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
