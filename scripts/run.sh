#!/usr/bin/env bash
# Builds Corvandel and starts its window.
#
# The window loads PingServices.txt from its working directory at start-up.
# It starts in build/run/, which receives the sample list of public ping
# services on the first run; edit that copy, or use "Configuration" ->
# "ReLoad Services" to choose another list.
#
# Without a display (no DISPLAY or WAYLAND_DISPLAY), it runs on a virtual X
# display through xvfb-run.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" --target corvandel

run_dir="build/run"
mkdir -p "$run_dir"
[ -f "$run_dir/PingServices.txt" ] || cp app/PingServices.txt "$run_dir/PingServices.txt"
cd "$run_dir"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$root/build/release/app/corvandel"
fi
echo "No display found: starting Corvandel on a virtual X display (xvfb-run)." >&2
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$root/build/release/app/corvandel"
