#!/usr/bin/env bash
# CTest fixture of the scenario tests: pay Wine's start-up once per test run.
# 1. A persistent wineserver for the project's prefix; it stays 300 s after its last
#    client, so the scenario processes that follow (and the next ctest run soon after)
#    find it running. When one already runs for the prefix this start just fails.
# 2. One Windows program of the build, so the prefix's own services start now.
# Never stops the server: other test runs may share the prefix.
root=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$root/deps/wineprefix}" WINEDEBUG="${WINEDEBUG:--all}" WINEARCH=win32
wineserver -p300 >/dev/null 2>&1 || true
# Wine's background services start with this program and outlive it: they must not
# inherit CTest's output pipes, or CTest would wait for them until its time-out.
exec "$root/tools/wine-run" "$1" --list >/dev/null 2>&1 </dev/null
