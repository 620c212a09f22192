#!/usr/bin/env bash
# Every figure of the project from one run on this machine, each against its baseline
# where one exists:
#   1. a hooked HUD_Frame call against a direct call (bench/run_hud_frame.sh)
#   2. game start with the plug-in loaded and started against the game alone, with the
#      update server answering LATEST_VERSION, nothing listening, and a server that
#      accepts and never answers (one wait's 5 s limit bounds it); and how long a thread
#      start of the game waits on the loader lock while the plug-in loads, per engine build
#   3. the plug-in's MD5 file digest (OpenSSL, under Wine) against md5sum
#   4. the update check's own costs, a 4 MiB download and the worst hold under trickling
#      servers (bench/update_bench.sh)
#   5. the size of each .asi, with and without keys built in
#   6. the update service under slow clients: today's server against nginx + gunicorn,
#      nginx's cost of 1000 paced downloads, and a release staged to 10% against the same
#      served to everyone (bench/service_bench.py, about 6 minutes)
#   7. what the watch and status cost on 30 days of a 5,000-player site's access log
#      (bench/watch_bench.py)
# The mutation score, from a run of most of an hour, has a script of its own: bench/run_mutation.sh.
# Usage: bench/run.sh [build dir, default build/mingw] [starts per figure, default 5]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"
ensure_setup >/dev/null
build=${1:-$root/build/mingw}
runs=${2:-5}
[ -f "$build/build.ninja" ] || (cd "$root" && cmake --preset mingw -B "$build" >/dev/null)
build=$(cd "$build" && pwd)
cmake --build "$build" --target Murmelon_W_7_D Murmelon_W_XP_D Murmelon_W_7_D_signed \
  Murmelon_W_XP_D_signed hud_frame_bench startup_bench md5_bench update_check_test >/dev/null

source "$root/bench/common.sh"
make_bench_work
# Windows programs end their lines with CR LF.
wine_run() { timeout 120 "$root/tools/wine-run" "$@" | tr -d '\r'; }
wait_for_port() {
  for _ in $(seq 200); do [ -s "$1" ] && break; sleep 0.05; done
  [ -s "$1" ] || { echo "bench: a server did not start" >&2; exit 1; }
  cat "$1"
}

echo "Murmelon benchmarks, $(date -u +%Y-%m-%d), $(nproc) cores, $(wine --version), build $build"
echo

# 1. HUD_Frame.
bash "$root/bench/run_hud_frame.sh" "$build"
echo

# 2. Game start. Each start is a process of its own in a fresh game folder.
start_ms() {  # $1 bare|plugin, $2 update host
  local line
  line=$(cd "$work" && wine_run "$build/bin/startup_bench.exe" "$1" "$2" 2>/dev/null | grep '^startup_bench ms=' || true)
  [ -n "$line" ] || { echo "bench: a $1 start against $2 failed" >&2; exit 1; }
  echo "${line#startup_bench ms=}"
}
# The build just made is the newest release, laid out here unsigned: a default build
# carries no keys, and tools/package.sh packages only keyed modules.
python3 "$root/tools/release_folder.py" "$work/release" --build 51081 \
  --module "$build/dist/Murmelon_W_7_D.asi" --version bench
python3 "$root/tools/update_server.py" --releases "$work/release" --port 0 \
  --port-file "$work/latest.port" --log "$work/latest.log" --lifetime 900 &
servers+=($!)
latest_host="127.0.0.1:$(wait_for_port "$work/latest.port")"
start_ms bare 127.0.0.1:9 >/dev/null  # Wine's first start of a program pays for its own set-up
bare=$(for _ in $(seq "$runs"); do start_ms bare 127.0.0.1:9; done | median)
latest=$(for _ in $(seq "$runs"); do start_ms plugin "$latest_host"; done | median)
refused=$(for _ in $(seq "$runs"); do start_ms plugin 127.0.0.1:9; done | median)
stalled=$(
  for i in 1 2 3; do
    printf 'stall\n' > "$work/stall.script"
    python3 "$root/tests/update_server/scripted_server.py" --script "$work/stall.script" \
      --port-file "$work/stall$i.port" --lifetime 30 &
    servers+=($!)
    start_ms plugin "127.0.0.1:$(wait_for_port "$work/stall$i.port")"
  done | median)
awk -v b="$bare" -v l="$latest" -v r="$refused" -v s="$stalled" -v n="$runs" 'BEGIN {
  printf "Game start (folder, engine modules; with the plug-in: loaded and started), median of %d starts (stalled: 3)\n", n
  printf "  without the plug-in (baseline)          %8.1f ms\n", b
  printf "  plug-in, server answers LATEST_VERSION  %8.1f ms  %7.2f x\n", l, l / b
  printf "  plug-in, nothing listening (refused)    %8.1f ms  %7.2f x\n", r, r / b
  printf "  plug-in, server never answers           %8.1f ms  %7.2f x  (the 5 s limit of one wait)\n", s, s / b
}'
echo

# 2b. The loader lock at load and at an unload while running (the abnormal end, which
# writes the error log): how long a thread start of the game waits, under the test
# world's probe, with a name server that takes 2 s per lookup.
echo "Loader lock while the plug-in loads (name lookups take 2 s) and is unloaded while running, median of $runs runs; goal: under 50 ms"
for engine in 6027 6132 4554 4156; do
  for _ in $(seq "$runs"); do
    line=$(cd "$work" && wine_run "$build/bin/startup_bench.exe" probed "$engine" 2>/dev/null | grep '^startup_bench stall=' || true)
    [ -n "$line" ] || { echo "bench: a probed load on engine build $engine failed" >&2; exit 1; }
    echo "${line#startup_bench }"
  done | awk -v e="$engine" '{ for (f = 1; f <= 5; f++) { split($f, kv, "="); v[f, NR] = kv[2] } }
    function med(f, n,   i, j, t, w) { for (i = 1; i <= n; i++) w[i] = v[f, i]
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (w[j] < w[i]) { t = w[i]; w[i] = w[j]; w[j] = t }
      return (n % 2) ? w[(n + 1) / 2] : (w[n / 2] + w[n / 2 + 1]) / 2 }
    END { printf "  engine build %d: load: longest thread-start wait %6.1f ms, attach %6.1f ms; unload: wait %6.1f ms, detach %5.1f ms, %d heap calls in it\n",
          e, med(1, NR), med(2, NR), med(3, NR), med(4, NR), med(5, NR) }'
done
echo

# 3. MD5. A 64 MiB file, read from the page cache by both.
head -c $((64 * 1024 * 1024)) /dev/urandom > "$work/digest.bin"
plugin_line=$(wine_run "$build/bin/md5_bench.exe" "$(winepath -w "$work/digest.bin" 2>/dev/null)" "$runs")
module_line=$(wine_run "$build/bin/md5_bench.exe" "$(winepath -w "$build/dist/Murmelon_W_7_D.asi" 2>/dev/null)" "$runs")
md5sum "$work/digest.bin" >/dev/null
md5sum_ms=$(for _ in $(seq "$runs"); do
  s=$(date +%s%N); md5sum "$work/digest.bin" >/dev/null; e=$(date +%s%N); echo $(((e - s) / 1000))
done | median)
[ "$(md5sum < "$work/digest.bin" | cut -c1-32)" = "$(sed 's/.*digest=\([0-9a-f]*\).*/\1/' <<<"$plugin_line")" ] \
  || { echo "bench: the plug-in's digest differs from md5sum's" >&2; exit 1; }
awk -v p="$plugin_line" -v m="$module_line" -v u="$md5sum_ms" 'BEGIN {
  split(p, a, /[ =]/); split(m, c, /[ =]/)
  mib = a[3] / 1048576; pm = a[5]; sm = u / 1000
  printf "MD5 of a %d MiB file, median of runs\n", mib
  printf "  md5sum (baseline)                       %8.1f ms  %7.1f MiB/s\n", sm, mib / (sm / 1000)
  printf "  plug-in FileMD5Hex (OpenSSL, Wine)      %8.1f ms  %7.1f MiB/s  %5.2f x md5sum time\n", pm, mib / (pm / 1000), pm / sm
  printf "  its own module, %.1f MiB, at start-up   %8.1f ms\n", c[3] / 1048576, c[5]
  printf "  signed release check of that module     %8.1f ms  (SHA-256 and Ed25519, libsodium; beyond the MD5)\n", c[9]
}'
echo

# 4. The update check and the download.
bash "$root/bench/update_bench.sh" "$build" "$runs"
echo

# 5. Sizes.
echo "Shipped files (dist/: no keys built in; dist-signed/: two test keys)"
for asi in "$build"/dist/*.asi "$build"/dist-signed/*.asi; do
  printf "  %-36s %9d bytes  (%.2f MiB)\n" "$(basename "$(dirname "$asi")")/$(basename "$asi")" "$(stat -c %s "$asi")" \
    "$(awk -v s="$(stat -c %s "$asi")" 'BEGIN {print s / 1048576}')"
done
echo

# 6. The update service.
python3 "$root/bench/service_bench.py" --module "$build/dist/Murmelon_W_7_D.asi"
echo

# 7. The watch and status on a month of the access log.
python3 "$root/bench/watch_bench.py"
