#!/usr/bin/env bash
# Builds both flavours and plays a short game session with the plug-in in the simulated
# game: a local update server answers the update check, a server announces its voice
# codec, the player talks with Steam voice. Prints the game console as the player sees it.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_setup
cd "$root"
build_preset mingw >/dev/null
echo "Built: $(ls dist/*.asi | tr '\n' ' ')"

host_args=()
server_pid=""
# A local update server whose newest Windows 7 release is the build just made, so the
# start-up shows its verdict.
releases=$(mktemp -d)
port_file="$releases/port"
build=$(sed -n 's/^#define MURMELON_BUILD_Murmelon_W_7_D \([0-9]*\)$/\1/p' flavours/build_numbers.h)
python3 tools/release_folder.py "$releases" --build "$build" --module dist/Murmelon_W_7_D.asi --version demo
python3 tools/update_server.py --releases "$releases" --port 0 --port-file "$port_file" \
  --log "$releases/log" --lifetime 120 >/dev/null 2>&1 &
server_pid=$!
for _ in $(seq 50); do [ -s "$port_file" ] && break; sleep 0.1; done
[ -s "$port_file" ] && host_args=(--update-host "127.0.0.1:$(cat "$port_file")")
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; rm -rf "${releases:-}"; }
trap cleanup EXIT

cd build/mingw
timeout 60 "$root/tools/wine-run" bin/host.exe "${host_args[@]}" "$@"
