#!/usr/bin/env bash
# Builds the mingw tree (if needed) and prints the HUD_Frame hook's cost under Wine.
#   bench/run_hud_frame.sh [build dir] [calls] [rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/mingw}
calls=${2:-200000}
rounds=${3:-7}
if [ ! -f "$build/build.ninja" ]; then
  cmake --preset mingw -B "$build" >/dev/null
fi
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
if ! cmake --build "$build" --target hud_frame_bench Murmelon_W_7_D >"$workdir/build.log" 2>&1; then
  cat "$workdir/build.log" >&2
  exit 1
fi
cd "$workdir"
timeout 300 "$root/tools/wine-run" "$build/bin/hud_frame_bench.exe" "$calls" "$rounds"
