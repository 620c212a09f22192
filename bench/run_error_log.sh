#!/usr/bin/env bash
# What naming the plug-in's frames from its own DWARF adds to the abnormal-end record:
# the unload that writes it, timed under an export-only symbol handler, with the module
# as built and with the same module stripped of its DWARF (the record without frames).
# One fresh process per record.
#   bench/run_error_log.sh [build dir] [records per figure]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/mingw}
runs=${2:-5}
if [ ! -f "$build/build.ninja" ]; then
  cmake --preset mingw -B "$build" >/dev/null
fi
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
if ! cmake --build "$build" --target error_log_bench Murmelon_W_7_D >"$workdir/build.log" 2>&1; then
  cat "$workdir/build.log" >&2
  exit 1
fi
i686-w64-mingw32-objcopy --strip-debug "$build/dist/Murmelon_W_7_D.asi" "$workdir/nodwarf.asi"
nodwarf="Z:${workdir//\//\\}\\nodwarf.asi"  # Wine's drive Z: is the root folder
cd "$workdir"
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
# The two variants take turns, so that a machine's changing load falls on both alike.
: >"$workdir/dwarf.ms"
: >"$workdir/nodwarf.ms"
: >"$workdir/extra.ms"
for _ in $(seq "$runs"); do
  for variant in dwarf nodwarf; do
    if [ "$variant" = dwarf ]; then args=(); else args=("$nodwarf"); fi
    out=$(timeout 120 "$root/tools/wine-run" "$build/bin/error_log_bench.exe" "${args[@]}")
    sed -E 's/.*ms=([0-9.]+).*/\1/' <<<"$out" >>"$workdir/$variant.ms"
    eval "frames_$variant=$(sed -E 's/.*frames=([0-9]+).*/\1/' <<<"$out")"
  done
  paste "$workdir/dwarf.ms" "$workdir/nodwarf.ms" | tail -n 1 | awk '{print $1 - $2}' >>"$workdir/extra.ms"
done
echo "with DWARF: median $(median <"$workdir/dwarf.ms") ms of $runs records, $frames_dwarf frames"
echo "without:    median $(median <"$workdir/nodwarf.ms") ms of $runs records, $frames_nodwarf frames"
echo "extra time: median $(median <"$workdir/extra.ms") ms (record by record)"
