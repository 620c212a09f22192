#!/usr/bin/env bash
# The mutation score of the seeded sample, as the README's benchmark table gives it: a
# run of tools/mutate.sh (about 45 min on 2 cores; not part of bench/run.sh), then the
# score per language and the run's time from its report.
#   bench/run_mutation.sh [tools/mutate.sh options]   # default: --sample 200 --python-sample 250 --seed 1
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -gt 0 ] || set -- --sample 200 --python-sample 250 --seed 1
report=$(mktemp -d)
trap 'rm -rf "$report"' EXIT
"$root/tools/mutate.sh" "$@" --report "$report" >"$report/run.log" 2>&1 ||
  { tail -n 20 "$report/run.log" >&2; exit 1; }
python3 - "$report/report.json" <<'PYTHON'
import json, sys
report = json.load(open(sys.argv[1]))
print(f"Mutation score, {report['command']} on {report['revision']}, {report['jobs']} at a time: "
      f"{report['seconds'] // 60} min {report['seconds'] % 60} s")
for language, name in (("cxx", "C and C++"), ("python", "Python")):
    counts, score = report["totals"][language], report["scores"][language]
    counted = counts["generated"] - counts["not viable"] - counts["equivalent"]
    shown = f"{score:5.1f}%" if score is not None else "    -"
    print(f"  {name:<10} {shown}  ({counts['killed']} killed and {counts['timed out']} timed out of {counted}; "
          f"{counts['equivalent']} judged equivalent, {counts['not viable']} not viable)")
PYTHON
