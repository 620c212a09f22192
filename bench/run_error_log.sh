#!/usr/bin/env bash
# What naming the plug-in's frames from its own DWARF adds to an abnormal-end record
# (bench/error_log_bench.cpp), in a few fresh processes.
#   bench/run_error_log.sh [build dir] [processes] [rounds per process]
set -euo pipefail
source "$(dirname "$0")/common.sh"
run_wine_bench "${1:-$(dirname "$0")/../build/mingw}" error_log_bench "${2:-3}" "${3:-21}"
