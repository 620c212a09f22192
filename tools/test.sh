#!/usr/bin/env bash
# Builds everything and runs every test: the native units under sanitizers, then the
# scenarios that load the real .asi files into the simulated game under Wine.
# The default run leaves out the tests labelled "long" (the time-bounded fuzz campaign);
# "--long" runs them too. Other arguments go to ctest.
set -uo pipefail
source "$(dirname "$0")/common.sh"
tier=(-LE long)
ctest_args=()
for arg in "$@"; do
  if [ "$arg" = --long ]; then tier=(); else ctest_args+=("$arg"); fi
done

ensure_setup || exit 1
cd "$root"

build_preset native || exit 1
build_preset mingw || exit 1

passed=0 failed=0
for preset in native mingw; do
  log=$(mktemp)
  ctest --preset "$preset" "${tier[@]}" "${ctest_args[@]}" 2>&1 | tee "$log"
  summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [ -z "$summary" ]; then
    echo "no test summary from the $preset tests" >&2
    failed=$((failed + 1))
    continue
  fi
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
  t=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
  passed=$((passed + t - f))
  failed=$((failed + f))
done
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
