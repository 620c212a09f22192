#!/usr/bin/env bash
# What naming the plug-in's frames from its own DWARF adds to an abnormal-end record
# (bench/error_log_bench.cpp), in a few fresh processes.
#   bench/run_error_log.sh [build dir] [processes] [rounds per process]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/mingw}
processes=${2:-3}
rounds=${3:-21}
if [ ! -f "$build/build.ninja" ]; then
  cmake --preset mingw -B "$build" >/dev/null
fi
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
if ! cmake --build "$build" --target error_log_bench Murmelon_W_7_D >"$workdir/build.log" 2>&1; then
  cat "$workdir/build.log" >&2
  exit 1
fi
cd "$workdir"
for _ in $(seq "$processes"); do
  timeout 300 "$root/tools/wine-run" "$build/bin/error_log_bench.exe" "$rounds"
done
