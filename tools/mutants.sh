#!/usr/bin/env bash
# Runs the mutation catalogue (tests/mutants/*.diff): small faults a developer could make,
# each of which the default test suite must catch.
#
#   tools/mutants.sh [PATTERN]    # every mutant whose file name matches the extended regex
#
# The checkout is copied to a scratch folder (the working tree is never touched) that
# uses the checkout's deps/ (set up there first if missing); both build trees are built
# there once. Then, one mutant at a time: apply its patch, rebuild incrementally, run the
# tests its header names, and, if they all pass, the whole default suite (both build
# trees, the "long" tier left out); then the patch is taken out again. One line per
# mutant, then "N killed, M survived". Exit status non-zero when a mutant survived, a
# patch no longer applies, a mutant does not build or its named tests do not exist.
#
# MURMELON_MUTANTS_SCRATCH=DIR keeps the scratch copy (and its builds) in DIR between
# runs: only files whose content changed are copied again. MURMELON_MUTANTS_SUITE=0 runs
# the named tests alone (a quick batch while writing tests; a survivor is then only a
# candidate).
set -uo pipefail
checkout=$(cd "$(dirname "$0")/.." && pwd)
pattern=${1:-.}

build_limit=1800   # seconds: the first build of both trees
rebuild_limit=900  # one incremental rebuild
named_limit=600    # the named tests of one mutant
suite_limit=1800   # the whole default suite

mutants=()
for file in "$checkout"/tests/mutants/*.diff; do
  [ -e "$file" ] || continue
  basename "$file" .diff | grep -Eq -- "$pattern" && mutants+=("$file")
done
if [ ${#mutants[@]} = 0 ]; then
  echo "no mutant matches '$pattern'" >&2
  exit 2
fi

if [ -n "${MURMELON_MUTANTS_SCRATCH:-}" ]; then
  scratch=$MURMELON_MUTANTS_SCRATCH
  mkdir -p "$scratch"
else
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/murmelon-mutants.XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
fi
scratch=$(cd "$scratch" && pwd)
logs=$(mktemp -d "${TMPDIR:-/tmp}/murmelon-mutant-logs.XXXXXX")  # kept: one log per mutant

# The checkout's files as they are now (committed or not), copied where their content
# differs, so a kept scratch rebuilds only what changed; files gone from the checkout go.
copy_checkout() {
  local wanted have
  wanted=$(mktemp) have=$(mktemp)
  git -C "$checkout" ls-files -z --cached --others --exclude-standard | tr '\0' '\n' |
    while IFS= read -r path; do [ -f "$checkout/$path" ] && printf '%s\n' "$path"; done |
    sort >"$wanted"
  (cd "$scratch" && find . -path ./build -prune -o -path ./deps -prune -o -path ./dist -prune \
     -o -path ./release -prune -o -type f -print | sed 's|^\./||' |
     sort) >"$have"
  comm -13 "$wanted" "$have" | while IFS= read -r path; do rm -f "$scratch/$path"; done
  # A link stays a link (server/debian's units are links into server/conf: a patch of the
  # one must reach the other).
  while IFS= read -r path; do
    if [ -L "$checkout/$path" ]; then
      if [ "$(readlink "$checkout/$path")" != "$(readlink "$scratch/$path" 2>/dev/null)" ]; then
        mkdir -p "$(dirname "$scratch/$path")"
        rm -f "$scratch/$path"
        cp -P "$checkout/$path" "$scratch/$path"
      fi
    elif [ -L "$scratch/$path" ] || ! cmp -s "$checkout/$path" "$scratch/$path"; then
      mkdir -p "$(dirname "$scratch/$path")"
      rm -f "$scratch/$path"
      cp "$checkout/$path" "$scratch/$path"
    fi
  done <"$wanted"
  rm -f "$wanted" "$have"
  [ -e "$scratch/deps" ] || ln -s "$checkout/deps" "$scratch/deps"
}

revision=$(git -C "$checkout" rev-parse --short HEAD)
git -C "$checkout" diff --quiet HEAD 2>/dev/null || revision="$revision with local changes"
echo "mutants of $revision in $scratch (logs in $logs)"
# The scratch copy shares the checkout's deps/ (set-up output, not part of the tree): a
# fresh clone has none yet, so the set-up runs in the checkout first, as tools/test.sh would.
(source "$checkout/tools/common.sh" && ensure_setup) >"$logs/setup.log" 2>&1 ||
  { echo "set-up failed: $logs/setup.log" >&2; exit 2; }
copy_checkout

cd "$scratch" || exit 2
source tools/common.sh  # root is now the scratch copy
ensure_setup >>"$logs/setup.log" 2>&1 || { echo "set-up failed: $logs/setup.log" >&2; exit 2; }

build() {  # build <seconds> <log>: both trees, configured as tools/test.sh does
  local limit=$1 log=$2
  timeout "$limit" cmake --preset native >>"$log" 2>&1 &&
    timeout "$limit" cmake --build --preset native >>"$log" 2>&1 &&
    timeout "$limit" cmake --preset mingw -DMURMELON_SCENARIO_TIMEOUT="$scenario_timeout" >>"$log" 2>&1 &&
    timeout "$limit" cmake --build --preset mingw >>"$log" 2>&1
}
if ! build "$build_limit" "$logs/build.log"; then
  echo "the unmutated checkout does not build: $logs/build.log" >&2
  exit 2
fi

# The tests a header names ("# Tests: name ..." or "# Passes: name ..."), escaped and
# joined by "|"; as one exact-match regex.
test_names() {  # test_names <mutant> [field]
  sed -n "s/^# ${2:-Tests}: *//p" "$1" | tr -s ' \t' '\n' | sed '/^$/d; s/\./\\./g' | paste -sd '|'
}
named_tests() {  # named_tests <mutant> [field]
  local names
  names=$(test_names "$@")
  [ -n "$names" ] && printf '^(%s)$' "$names"
}

count_tests() {  # count_tests <regex>: how many tests of both trees it selects
  local total=0 n
  for preset in native mingw; do
    n=$(ctest --test-dir "build/$preset" -N -R "$1" | sed -n 's/^Total Tests: //p')
    total=$((total + ${n:-0}))
  done
  echo "$total"
}

run_tests() {  # run_tests <seconds> <log> <ctest selection...>: true when every test passed
  local limit=$1 log=$2 status=0
  shift 2
  for preset in native mingw; do
    timeout "$limit" ctest --preset "$preset" --no-tests=ignore "$@" >>"$log" 2>&1 || status=1
  done
  return $status
}

failed_names() { grep -E '^[[:space:]]*[0-9]+ - .* \((Failed|Timeout|SEGFAULT|Subprocess aborted|Not Run|Exception)' "$1" |
                 sed -E 's/^[[:space:]]*[0-9]+ - ([^ ]+).*/\1/' | sort -u | paste -sd ' '; }

# The named tests must pass without any fault, or their failures would count as kills.
all_named=$(for file in "${mutants[@]}"; do test_names "$file"; done | tr '|' '\n' | sort -u | paste -sd '|')
if ! run_tests "$named_limit" "$logs/unmutated.log" -R "^($all_named)\$"; then
  echo "without any fault these tests fail: $(failed_names "$logs/unmutated.log")" >&2
  exit 2
fi

take_out() {  # take_out <mutant> <log>
  patch -p1 -s -f -R --fuzz=0 --no-backup-if-mismatch <"$1" >>"$2" 2>&1 && return 0
  echo "could not take $(basename "$1" .diff) out again; stopping" >&2
  return 1
}

killed=0 survived=0 broken=0
for file in "${mutants[@]}"; do
  name=$(basename "$file" .diff)
  log=$logs/$name.log
  : >"$log"
  if ! patch -p1 -s -f -N --fuzz=0 --dry-run <"$file" >>"$log" 2>&1; then
    printf '%-9s %s: the patch no longer applies\n' STALE "$name"
    broken=$((broken + 1))
    continue
  fi
  patch -p1 -s -f -N --fuzz=0 --no-backup-if-mismatch <"$file" >>"$log" 2>&1
  regex=$(named_tests "$file")
  if ! build "$rebuild_limit" "$log"; then
    printf '%-9s %s: does not build (%s)\n' UNBUILT "$name" "$log"
    broken=$((broken + 1))
  elif [ -z "$regex" ] || [ "$(count_tests "$regex")" = 0 ]; then
    printf '%-9s %s: names no existing test\n' NOTESTS "$name"
    broken=$((broken + 1))
  elif ! run_tests "$named_limit" "$log" -R "$regex"; then
    printf '%-9s %s  by %s\n' killed "$name" "$(failed_names "$log")"
    killed=$((killed + 1))
    # "# Passes:" names scenarios of the same behaviour that do not catch the fault (the
    # catalogue's note on it); a run checks the note still holds.
    passes=$(named_tests "$file" Passes)
    if [ -n "$passes" ] && ! run_tests "$named_limit" "$log.passes" -R "$passes"; then
      printf '%-9s %s: its note is out of date, %s now catch it\n' NOTE "$name" "$(failed_names "$log.passes")"
      broken=$((broken + 1))
    fi
  elif [ "${MURMELON_MUTANTS_SUITE:-1}" = 0 ]; then
    printf '%-9s %s  (its named tests only)\n' SURVIVED "$name"
    survived=$((survived + 1))
  elif ! run_tests "$suite_limit" "$log" -LE long; then
    # A test of the whole suite failed. It counts only if it passes without the fault:
    # under a loaded machine a scenario can fail on its own.
    failed=$(failed_names "$log")
    take_out "$file" "$log" || exit 2
    build "$rebuild_limit" "$log"
    : >"$log.clean"
    run_tests "$named_limit" "$log.clean" -R "^($(tr ' ' '\n' <<<"$failed" | sed 's/\./\\./g' | paste -sd '|'))\$"
    caught=$(comm -23 <(tr ' ' '\n' <<<"$failed" | sort) <(failed_names "$log.clean" | tr ' ' '\n' | sort) | paste -sd ' ')
    if [ -n "$caught" ]; then
      # Caught, but not where the catalogue says: its header wants the catching test added.
      printf '%-9s %s  only by the whole suite: %s\n' killed "$name" "$caught"
      killed=$((killed + 1))
      broken=$((broken + 1))
    else
      printf '%-9s %s  (failing without the fault too: %s)\n' SURVIVED "$name" "$failed"
      survived=$((survived + 1))
    fi
    continue
  else
    printf '%-9s %s\n' SURVIVED "$name"
    survived=$((survived + 1))
  fi
  take_out "$file" "$log" || exit 2
done

[ "$broken" = 0 ] || echo "$broken mutant(s) need attention (see above; logs in $logs)"
echo "$killed killed, $survived survived"
[ "$survived" = 0 ] && [ "$broken" = 0 ]
