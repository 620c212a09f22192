#!/usr/bin/env bash
# Builds the mingw tree (if needed) and prints the HUD_Frame hook's cost under Wine.
#   bench/run_hud_frame.sh [build dir] [calls] [rounds]
set -euo pipefail
source "$(dirname "$0")/common.sh"
run_wine_bench "${1:-$(dirname "$0")/../build/mingw}" hud_frame_bench 1 "${2:-200000}" "${3:-7}"
