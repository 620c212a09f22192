#!/usr/bin/env bash
# What the update check costs at start-up, measured with the real plug-in in the test
# world under Wine against local servers:
#   - the start (the host's start call) with a server answering LATEST_VERSION, with
#     nothing listening, and with a server that accepts and never answers;
#   - less a baseline start whose check ends before any network use (a malformed server
#     address), which gives the time the check adds;
#   - the throughput of a 4 MiB module download (received, verified, put in place);
#   - the longest a check runs under trickling servers: one that sends a byte of its
#     answer every 4 s (no single wait reaches its own 5 s limit; the check's 10 s
#     deadline ends it), and one that offers a module and sends 2 KiB every 1.1 s, just
#     above the 16 KiB in 10 s below which a download is dropped, so only the 120 s bound
#     ends it;
#   - the host's start call alone, on every engine build, with a server that accepts and
#     never answers and with one that trickles: the check runs on its own thread, so the
#     call (the game's start-up and window thread) never waits on the network.
# The start figures run until the check's last message reached the console.
# Usage: bench/update_bench.sh [build dir, default build/mingw] [runs, default 5]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/mingw}" && pwd)
runs=${2:-5}
exe="$build/bin/update_check_test.exe"
[ -x "$exe" ] || { echo "no $exe; build the mingw preset first" >&2; exit 2; }
source "$root/bench/common.sh"
make_bench_work
cd "$work"

# One start against $1; prints its start_ms (and fails unless updated=$2 when given);
# $3 seconds before it is killed (default 60).
start_ms() {
  local line
  line=$(timeout "${3:-60}" "$root/tools/wine-run" "$exe" --child update_bench_start "$1" 2>/dev/null | grep '^start_ms=' || true)
  [ -n "$line" ] || { echo "bench start against $1 failed" >&2; exit 1; }
  if [ -n "${2:-}" ] && [[ "$line" != *"updated=$2"* ]]; then echo "unexpected: $line" >&2; exit 1; fi
  echo "${line#start_ms=}" | cut -d' ' -f1
}

serve_releases() {  # $1 releases folder -> prints the port
  python3 "$root/tools/update_server.py" --releases "$1" --port 0 --port-file "$1.port" \
    --log "$1.log" --lifetime 600 &
  servers+=($!)
  for _ in $(seq 200); do [ -s "$1.port" ] && break; sleep 0.05; done
  cat "$1.port"
}

release() {  # $1 folder, $2 build, $3 module file
  echo "bench" > "$1.news"
  python3 "$root/tools/release_folder.py" "$1" --build "$2" --module "$3" --version bench --news-file "$1.news"
}

asi="$build/dist/Murmelon_W_7_D.asi"
"$root/tools/wine-run" "$exe" --child update_bench_start 127.0.0.1:http >/dev/null 2>&1 || true  # warm Wine

release "$work/latest" 51081 "$asi"
latest_port=$(serve_releases "$work/latest")
big="$work/big.asi"
cp "$asi" "$big"
python3 - "$big" <<'PY'
import sys
size = 4 * 1024 * 1024
with open(sys.argv[1], "ab") as f:  # bytes behind the image: the module still loads
    f.write(b"\0" * (size - f.tell()))
PY
release "$work/big" 51091 "$big"
big_port=$(serve_releases "$work/big")

baseline=$(for _ in $(seq "$runs"); do start_ms 127.0.0.1:http; done | median)
latest=$(for _ in $(seq "$runs"); do start_ms "127.0.0.1:$latest_port"; done | median)
nothing=$(for _ in $(seq "$runs"); do start_ms 127.0.0.1:9; done | median)
stalled=$(
  for _ in 1 2; do
    printf 'stall\n' > "$work/script"
    rm -f "$work/stall.port"
    python3 "$root/tests/update_server/scripted_server.py" --script "$work/script" \
      --port-file "$work/stall.port" --lifetime 30 &
    for _ in $(seq 200); do [ -s "$work/stall.port" ] && break; sleep 0.05; done
    start_ms "127.0.0.1:$(cat "$work/stall.port")"
  done | median)
download=$(for _ in $(seq "$runs"); do start_ms "127.0.0.1:$big_port" 1; done | median)

trickle_server() {  # $1 script file -> prints the port
  python3 "$root/tests/update_server/scripted_server.py" --script "$1" --port-file "$1.port" \
    --lifetime 200 &
  servers+=($!)
  for _ in $(seq 200); do [ -s "$1.port" ] && break; sleep 0.05; done
  cat "$1.port"
}
python3 - "$work/answer.script" "$work/download.script" <<'PY'
import sys
head = b"HTTP/1.0 200 OK\r\n\r\n"
with open(sys.argv[1], "wb") as f:
    for byte in head[:8]:
        f.write(b"send 1\n" + bytes([byte]) + b"\npause 4000\n")
offer = head + b"SAVETO:m.asi.newMD5:" + b"0" * 32 + b"WHATNEW:benchVERSION:benchDATA:"
with open(sys.argv[2], "wb") as f:
    f.write(b"send %d\n" % len(offer) + offer + b"\n")
    for _ in range(150):
        f.write(b"pause 1100\nsend 2048\n" + b"M" * 2048 + b"\n")
PY
# The start call alone: one process per call, ended right after it (the check still waits).
call_ms() {  # $1 engine build, $2 update host
  local line
  line=$(timeout 60 "$root/tools/wine-run" "$exe" --child start_call_against "$1" "$2" 2>/dev/null | grep '^call_ms=' || true)
  [ -n "$line" ] || { echo "bench start call on build $1 against $2 failed" >&2; exit 1; }
  echo "${line#call_ms=}" | tr -d '\r'
}
printf 'stall\n' > "$work/silent.script"
calls=""
for engine in 6027 6132 4554 4156; do
  for kind in silent answer; do
    figures=$(for _ in $(seq "$runs"); do
      rm -f "$work/$kind.script.port"
      call_ms "$engine" "127.0.0.1:$(trickle_server "$work/$kind.script")"
    done)
    calls+="$engine $kind $(median <<<"$figures") $(sort -n <<<"$figures" | tail -n 1)"$'\n'
  done
done

answer_hold=$(start_ms "127.0.0.1:$(trickle_server "$work/answer.script")" 0 60)
download_hold=$(start_ms "127.0.0.1:$(trickle_server "$work/download.script")" 0 200)

awk -v b="$baseline" -v l="$latest" -v n="$nothing" -v s="$stalled" -v d="$download" -v r="$runs" \
    -v ta="$answer_hold" -v td="$download_hold" 'BEGIN {
  printf "update check, median of %d starts (stalled: 2), Wine, loopback\n", r
  printf "  start without network use (baseline)   %8.1f ms\n", b
  printf "  server answers LATEST_VERSION          %8.1f ms  (+%.1f ms)\n", l, l - b
  printf "  nothing listening                      %8.1f ms  (+%.1f ms)\n", n, n - b
  printf "  server accepts, never answers          %8.1f ms  (+%.1f ms, one wait'"'"'s 5 s limit)\n", s, s - b
  printf "  4 MiB module downloaded and installed  %8.1f ms  (+%.1f ms, %.1f MiB/s)\n", d, d - b, 4 / ((d - b) / 1000)
  printf "longest check under a trickling server (one start each)\n"
  printf "  answer, a byte every 4 s               %8.1f ms  (the 10 s deadline)\n", ta
  printf "  download, 2 KiB every 1.1 s            %8.1f ms  (the 120 s bound)\n", td
}'
echo "the host's start call alone, median and longest of $runs; goal: under 50 ms"
while read -r engine kind med max; do
  [ -n "$engine" ] || continue
  printf "  engine build %d, %-9s server       %6.1f ms  (longest %.1f ms)\n" "$engine" \
    "$([ "$kind" = silent ] && echo silent || echo trickling)" "$med" "$max"
done <<<"$calls"
