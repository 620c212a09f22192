#!/usr/bin/env bash
# Machine-made mutants over the whole code (tools/mutation/run.py says how), tried against
# the default suite's tests that reach each; not part of the default run.
#
#   tools/mutate.sh --sample 200 --python-sample 250 --seed 1   # a sample by folder size
#   tools/mutate.sh --again                 # the last report's survivors, on today's code
#   tools/mutate.sh                         # every mutant (hours)
#   tools/mutate.sh --only KEY              # one mutant, by the key the report gives it
#   tools/mutate.sh --list --sample 200     # which mutants a run would try
#
# --scratch DIR keeps the scratch copies, their builds and the measured coverage there
# between runs (a rerun on the same revision skips the measuring). The report lands in
# build/mutation/report.txt and report.json (--report DIR for another folder).
set -uo pipefail
checkout=$(cd "$(dirname "$0")/.." && pwd)
source "$checkout/tools/common.sh"
log=$(mktemp "${TMPDIR:-/tmp}/murmelon-mutate-setup.XXXXXX")
ensure_setup >"$log" 2>&1 || { echo "set-up failed: $log" >&2; exit 2; }
rm -f "$log"
export MURMELON_SCENARIO_TIMEOUT="$scenario_timeout"
# Debian's interpreter: libclang's and coverage.py's packages are installed for it.
exec /usr/bin/python3 "$checkout/tools/mutation/run.py" "$@"
